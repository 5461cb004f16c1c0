#pragma once

// Every visible text is a dotted key looked up in the language of the user's preference,
// independently of the process's own locale; byte counts and the version are formatted here
// too. The functions keep no state beyond the tables, which are read once per process.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "Velmorine/shell/localization_tables.h"
#include "platform/bundle/bundle.h"

namespace velmorine::shell {

// The text of `key` in the resolved language; a key missing there falls back to English, and
// a key missing from English as well shows as the key itself. The text lives as long as the
// tables; a missing key is kept for the life of the process (keys are the program's own).
const std::string& localizedString(const LocalizationTables& tables, std::string_view key,
                                   std::string_view language,
                                   std::span<const std::string> preferredLanguages);
// The same with the process's tables and, when the preference names no supported language,
// the system's preferred languages of the moment.
const std::string& localizedString(std::string_view key, std::string_view language);

// A text lookup as owners hand it on: a key and a language preference in, the text out.
using TextLookup = std::function<std::string(std::string_view key, std::string_view language)>;
// The lookup of the process's tables and the system's preferred languages.
TextLookup processTextLookup();

// The byte count in decimal units (1 kB = 1000 bytes) in the locale of the resolved language;
// counts above 2^63 - 1 read as 2^63 - 1, and zero is spelled out ("format.zeroBytes").
std::string formattedByteCount(const LocalizationTables& tables, std::uint64_t count,
                               std::string_view language,
                               std::span<const std::string> preferredLanguages);
std::string formattedByteCount(std::uint64_t count, std::string_view language);

// The version shown by the about sheet and the settings: the info key "ShortVersionString",
// followed by " (" "BundleVersion" ")" when that is set and differs; either alone when only one
// is set; an em dash when neither is (also for no bundle at all). Values are trimmed, and a
// value that is not text counts as unset.
std::string applicationVersionText(const platform::Bundle* bundle);

inline constexpr const char* kShortVersionKey = "ShortVersionString";
inline constexpr const char* kBundleVersionKey = "BundleVersion";
inline constexpr std::string_view kZeroBytesKey = "format.zeroBytes";

}  // namespace velmorine::shell
