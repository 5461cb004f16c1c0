#include "Velmorine/shell/text_lookup.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

namespace velmorine::shell {
namespace {

constexpr std::array<std::uint64_t, 6> kCounts = {0,
                                                  999,
                                                  1000,
                                                  1'500'000,
                                                  std::numeric_limits<std::int64_t>::max(),
                                                  std::numeric_limits<std::uint64_t>::max()};

struct ByteCountCase {
  std::string language;
  std::array<std::string, kCounts.size()> expected;
};

class ByteCounts : public ::testing::TestWithParam<ByteCountCase> {};

TEST_P(ByteCounts, DecimalUnitsInTheLocaleOfTheResolvedLanguage) {
  const auto tables = LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  for (std::size_t index = 0; index < kCounts.size(); ++index) {
    EXPECT_EQ(formattedByteCount(tables, kCounts[index], GetParam().language, {}),
              GetParam().expected[index])
        << kCounts[index];
  }
}

// Zero is our own text; 2^64 - 1 reads as 2^63 - 1; 1000 bytes are 1 kB, not 0.98 KiB.
INSTANTIATE_TEST_SUITE_P(
    Languages, ByteCounts,
    ::testing::Values(
        ByteCountCase{"zh-Hans", {"零字节", "999 字节", "1.0 kB", "1.5 MB", "9.2 EB", "9.2 EB"}},
        ByteCountCase{"en", {"Zero bytes", "999 bytes", "1.0 kB", "1.5 MB", "9.2 EB", "9.2 EB"}},
        ByteCountCase{"ja", {"ゼロバイト", "999 バイト", "1.0 KB", "1.5 MB", "9.2 EB", "9.2 EB"}},
        ByteCountCase{"ko", {"0바이트", "999 바이트", "1.0 kB", "1.5 MB", "9.2 EB", "9.2 EB"}},
        ByteCountCase{"ru", {"Ноль байт", "999 байты", "1,0 кБ", "1,5 МБ", "9,2 EB", "9,2 EB"}},
        // An unsupported preference follows the (here empty) system languages: English.
        ByteCountCase{"system",
                      {"Zero bytes", "999 bytes", "1.0 kB", "1.5 MB", "9.2 EB", "9.2 EB"}}));

struct VersionCase {
  std::optional<nlohmann::json> info;
  std::string expected;
};

class VersionText : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionText, ShortVersionAndBuild) {
  const auto& info = GetParam().info;
  const auto bundle =
      info ? std::optional<platform::Bundle>(platform::Bundle(*info)) : std::nullopt;
  EXPECT_EQ(applicationVersionText(bundle ? &*bundle : nullptr), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionText,
    ::testing::Values(
        VersionCase{nlohmann::json{{"ShortVersionString", "1.2"}, {"BundleVersion", "1.2"}}, "1.2"},
        VersionCase{nlohmann::json{{"ShortVersionString", "1.2 "}, {"BundleVersion", "45"}},
                    "1.2 (45)"},
        VersionCase{nlohmann::json{{"ShortVersionString", "\n 2.0\t"}}, "2.0"},
        VersionCase{nlohmann::json{{"ShortVersionString", "  "}, {"BundleVersion", " 7 "}}, "7"},
        VersionCase{nlohmann::json{{"ShortVersionString", 3}, {"BundleVersion", "8"}}, "8"},
        VersionCase{nlohmann::json{{"ShortVersionString", "3.1"}, {"BundleVersion", 9}}, "3.1"},
        VersionCase{nlohmann::json::object(), "\u2014"}, VersionCase{std::nullopt, "\u2014"}));

TEST(VersionText, TheBuildsOwnInfoCarriesTheProjectVersion) {
  const auto bundle = platform::Bundle::withDefaults();
  EXPECT_EQ(applicationVersionText(&bundle), VELMORINE_VERSION);
}

}  // namespace
}  // namespace velmorine::shell
