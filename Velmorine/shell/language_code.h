#pragma once

// Which of the application's five languages a language preference stands for, and the
// system's preferred languages on Linux.

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmorine::shell {

// The languages the application has texts for, in the order in which preferred languages are
// matched against them.
inline constexpr std::array<std::string_view, 5> kSupportedLanguageCodes = {"zh-Hans", "en", "ja",
                                                                            "ko", "ru"};
inline constexpr std::string_view kEnglishCode = "en";
// The preference that follows the system's languages; any other unsupported text does too.
inline constexpr std::string_view kSystemLanguage = "system";

// The index of `code` in kSupportedLanguageCodes (exact match), or none.
std::optional<std::size_t> supportedLanguageIndex(std::string_view code);

// The preference itself when it is a supported code; otherwise the first of the preferred
// languages that names one ("_" read as "-"; "zh", "zh-Hans…", "zh-CN…" and "zh-SG…" name
// "zh-Hans"; a code matches itself or itself followed by "-"), else "en". Case-sensitive.
// The result views kSupportedLanguageCodes.
std::string_view resolvedLanguageCode(std::string_view preference,
                                      std::span<const std::string> preferredLanguages);
// The same as an index into kSupportedLanguageCodes.
std::size_t resolvedLanguageIndex(std::string_view preference,
                                  std::span<const std::string> preferredLanguages);
inline constexpr std::size_t kEnglishIndex = 1;

// Reads one environment variable: its value, or none when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
// The process's own environment.
EnvironmentLookup processEnvironment();

// The user's preferred languages as the C library's message lookup sees them: the entries of
// LANGUAGE (colon-separated), then the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty; each without ".codeset" and "@modifier". Under the "C" or "POSIX" locale (which
// is also what no locale variable at all means) LANGUAGE is ignored, and "C" and "POSIX"
// never count as a language.
std::vector<std::string> systemPreferredLanguages(const EnvironmentLookup& environment);

}  // namespace velmorine::shell
