#include "Velmorine/transfer/content_paths.h"

#include <gtest/gtest.h>

#include <optional>

#include "Velmorine/transfer/content_failure.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;

struct PathCase {
  std::string path;
  std::optional<Case> failure;  // none: accepted
};

std::optional<Case> verdict(const std::string& path) {
  try {
    validatePath(path);
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

class PathRules : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathRules, AcceptOrRefuseByTheRule) {
  EXPECT_EQ(verdict(GetParam().path), GetParam().failure) << GetParam().path;
}

const std::string k240(240, 'a');
const std::string kAccented120 = [] {
  std::string text;
  for (int i = 0; i < 120; ++i) text += "\xC3\xA9";  // é, one UTF-16 unit each
  return text;
}();
const std::string kEmoji120 = [] {
  std::string text;
  for (int i = 0; i < 120; ++i) text += "\xF0\x9F\x98\x80";  // two UTF-16 units each
  return text;
}();

INSTANTIATE_TEST_SUITE_P(
    Paths, PathRules,
    ::testing::Values(
        PathCase{"Photos/a.jpg", std::nullopt}, PathCase{"auxiliary.c", std::nullopt},
        PathCase{"COM0", std::nullopt}, PathCase{"COM10", std::nullopt},
        PathCase{"console", std::nullopt}, PathCase{".hidden", std::nullopt},
        PathCase{"caf\xC3\xA9", std::nullopt}, PathCase{k240, std::nullopt},
        PathCase{kEmoji120, std::nullopt}, PathCase{std::string(1024, 'a'), Case::pathLimit},
        PathCase{std::string(1025, 'a'), Case::pathLimit},
        PathCase{std::string(512, 'a') + "/" + std::string(511, 'b'), Case::pathLimit},
        PathCase{k240 + "a", Case::pathLimit}, PathCase{kEmoji120 + "a", Case::pathLimit},
        PathCase{"", Case::invalidPath}, PathCase{"/abs", Case::invalidPath},
        PathCase{"a/", Case::invalidPath}, PathCase{"a//b", Case::invalidPath},
        PathCase{".", Case::invalidPath}, PathCase{"a/../b", Case::invalidPath},
        PathCase{"..", Case::invalidPath}, PathCase{"a\\b", Case::invalidPath},
        PathCase{"name.", Case::invalidPath}, PathCase{"name ", Case::invalidPath},
        PathCase{"a:b", Case::invalidPath}, PathCase{"a*", Case::invalidPath},
        PathCase{"q?", Case::invalidPath}, PathCase{"<x>", Case::invalidPath},
        PathCase{"pipe|", Case::invalidPath}, PathCase{"say\"", Case::invalidPath},
        PathCase{"tab\there", Case::invalidPath},
        PathCase{std::string("nul\0x", 5), Case::invalidPath},
        PathCase{"nul.txt", Case::invalidPath}, PathCase{"Com1", Case::invalidPath},
        PathCase{"lpt9.log", Case::invalidPath}, PathCase{"dir/aux.c", Case::invalidPath},
        PathCase{"PRN", Case::invalidPath}, PathCase{"\xC3", Case::invalidPath},
        PathCase{"\xC0\xAF", Case::invalidPath},           // overlong "/"
        PathCase{"\xED\xA0\x80", Case::invalidPath},       // a surrogate
        PathCase{"\xF4\x90\x80\x80", Case::invalidPath}),  // above U+10FFFF
    [](const auto& param_info) { return std::to_string(param_info.index); });

TEST(PathRules, ComponentsComeBackInOrder) {
  EXPECT_EQ(validatePath("a/b c/d.txt"), (std::vector<std::string>{"a", "b c", "d.txt"}));
  EXPECT_EQ(validatePath(kAccented120).size(), 1u);  // 240 bytes, 120 units
}

TEST(PathKey, CaseAndCompositionDoNotMakeANewName) {
  EXPECT_EQ(pathKey("Report.txt"), pathKey("REPORT.TXT"));
  EXPECT_EQ(pathKey("caf\xC3\xA9"), pathKey("cafe\xCC\x81"));  // precomposed and combining
  EXPECT_EQ(pathKey("Caf\xC3\xA9/x"), pathKey("CAFE\xCC\x81/X"));
  EXPECT_NE(pathKey("a/b"), pathKey("ab"));
  EXPECT_EQ(pathKey("stra\xC3\x9F"
                    "e"),
            pathKey("STRASSE"));
}

TEST(Utf16Length, CountsUnitsNotBytes) {
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length("\xC3\xA9"), 1u);
  EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u);
}

}  // namespace
}  // namespace velmorine::transfer
