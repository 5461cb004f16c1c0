#pragma once

// The texts of the five languages, one table per language: a JSON object of key to text in
// share/velmorine/localization/<code>.json, installed beside the bundle's Info.json.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Velmorine/shell/language_code.h"

namespace velmorine::shell {

// Hashes std::string and std::string_view alike, so a key is looked up without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

class LocalizationTables {
 public:
  using Table = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

  // No table at all: every lookup shows its key.
  LocalizationTables() = default;

  // Reads <folder>/<code>.json for each supported code. A table that is missing, larger than
  // kMaximumTableSize, or not one JSON object whose values are all texts counts as missing.
  static LocalizationTables fromFolder(const std::filesystem::path& folder);
  // The tables of the program at `executable`, found where its Info.json is:
  // <prefix>/share/velmorine/localization when the program lies in a folder of <prefix>, else a
  // folder "localization" beside the program.
  static LocalizationTables forProgram(const std::filesystem::path& executable);
  // The tables of the running program, read once, on first use, for the life of the process.
  static const LocalizationTables& process();

  // The table of a supported language, or nullptr when it is missing.
  const Table* table(std::size_t languageIndex) const;
  const Table* table(std::string_view code) const;

  static constexpr std::uintmax_t kMaximumTableSize = 4 * 1024 * 1024;
  static constexpr const char* kFolderName = "localization";

 private:
  std::array<std::optional<Table>, kSupportedLanguageCodes.size()> tables_;
};

}  // namespace velmorine::shell
