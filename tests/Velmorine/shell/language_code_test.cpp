#include "Velmorine/shell/language_code.h"

#include <gtest/gtest.h>

#include <map>

namespace velmorine::shell {
namespace {

struct ResolutionCase {
  std::string preference;
  std::vector<std::string> preferred;
  std::string expected;
};

class LanguageResolution : public ::testing::TestWithParam<ResolutionCase> {};

TEST_P(LanguageResolution, PicksTheSupportedCode) {
  const auto& c = GetParam();
  EXPECT_EQ(resolvedLanguageCode(c.preference, c.preferred), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageResolution,
    ::testing::Values(
        // A supported preference wins whatever the system says.
        ResolutionCase{"ja", {"ru-RU", "ko"}, "ja"}, ResolutionCase{"zh-Hans", {}, "zh-Hans"},
        // Anything else follows the system's languages.
        ResolutionCase{"system", {"zh_CN"}, "zh-Hans"},
        ResolutionCase{"system", {"zh-Hant-TW", "ko-KR"}, "ko"},
        ResolutionCase{"system", {"zh_TW", "zh-HK", "en_GB"}, "en"},
        ResolutionCase{"system", {"fr-FR"}, "en"}, ResolutionCase{"system", {}, "en"},
        ResolutionCase{"en-GB", {"ru_RU"}, "ru"}, ResolutionCase{"", {"ja_JP"}, "ja"},
        ResolutionCase{"system", {"zh"}, "zh-Hans"}, ResolutionCase{"system", {"zh-SG"}, "zh-Hans"},
        ResolutionCase{"system", {"zh_Hans_HK"}, "zh-Hans"},
        // A code matches only itself or itself followed by "-"; matching is case-sensitive.
        ResolutionCase{"system", {"english", "ja"}, "ja"},
        ResolutionCase{"system", {"kok", "ru"}, "ru"}, ResolutionCase{"system", {"JA", "KO"}, "en"},
        ResolutionCase{"Ja", {"ko_KR"}, "ko"}, ResolutionCase{"system", {"ko"}, "ko"}));

struct EnvironmentCase {
  std::map<std::string, std::string> variables;
  std::vector<std::string> expected;
};

class SystemLanguages : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(SystemLanguages, FollowTheMessageLookupOfTheCLibrary) {
  const auto& variables = GetParam().variables;
  const EnvironmentLookup environment = [&](const char* name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    if (found == variables.end()) return std::nullopt;
    return found->second;
  };
  EXPECT_EQ(systemPreferredLanguages(environment), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemLanguages,
    ::testing::Values(
        EnvironmentCase{{}, {}}, EnvironmentCase{{{"LANG", "ru_RU.UTF-8"}}, {"ru_RU"}},
        EnvironmentCase{{{"LANG", "ja_JP.UTF-8"}, {"LANGUAGE", "ko:zh_CN.GB2312:en_US@euro"}},
                        {"ko", "zh_CN", "en_US", "ja_JP"}},
        // The first set (and not empty) of LC_ALL, LC_MESSAGES, LANG is the locale.
        EnvironmentCase{{{"LC_ALL", "ko_KR.UTF-8"}, {"LC_MESSAGES", "ja_JP"}, {"LANG", "ru_RU"}},
                        {"ko_KR"}},
        EnvironmentCase{{{"LC_ALL", ""}, {"LC_MESSAGES", "ja_JP"}, {"LANG", "ru_RU"}}, {"ja_JP"}},
        EnvironmentCase{{{"LANG", "sr_RS@latin"}}, {"sr_RS"}},
        // Under the C or POSIX locale (or none at all) LANGUAGE is ignored.
        EnvironmentCase{{{"LANG", "C.UTF-8"}, {"LANGUAGE", "ja"}}, {}},
        EnvironmentCase{{{"LC_ALL", "POSIX"}, {"LANGUAGE", "ja"}}, {}},
        EnvironmentCase{{{"LANGUAGE", "ja:ko"}}, {}},
        // Empty entries and C entries of LANGUAGE give nothing.
        EnvironmentCase{{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "::C:ja::"}}, {"ja", "en_US"}}));

TEST(SupportedLanguages, IndexIsAnExactMatch) {
  EXPECT_EQ(supportedLanguageIndex("zh-Hans"), 0u);
  EXPECT_EQ(supportedLanguageIndex("ru"), 4u);
  EXPECT_EQ(supportedLanguageIndex("zh"), std::nullopt);
  EXPECT_EQ(supportedLanguageIndex(kSystemLanguage), std::nullopt);
}

}  // namespace
}  // namespace velmorine::shell
