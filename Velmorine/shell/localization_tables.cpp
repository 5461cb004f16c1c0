#include "Velmorine/shell/localization_tables.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

namespace velmorine::shell {

namespace {

std::optional<LocalizationTables::Table> readTable(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, error);
  if (error || size > LocalizationTables::kMaximumTableSize) return std::nullopt;
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(stream)),
                         std::istreambuf_iterator<char>());
  const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  LocalizationTables::Table table;
  table.reserve(json.size());
  for (const auto& [key, value] : json.items()) {
    if (!value.is_string()) return std::nullopt;
    table.emplace(key, value.get<std::string>());
  }
  return table;
}

}  // namespace

LocalizationTables LocalizationTables::fromFolder(const std::filesystem::path& folder) {
  LocalizationTables tables;
  for (std::size_t index = 0; index < kSupportedLanguageCodes.size(); ++index) {
    auto name = std::string(kSupportedLanguageCodes[index]) + ".json";
    tables.tables_[index] = readTable(folder / name);
  }
  return tables;
}

LocalizationTables LocalizationTables::forProgram(const std::filesystem::path& executable) {
  const auto folder = executable.parent_path();
  const auto installed = folder.parent_path() / "share" / "velmorine" / kFolderName;
  std::error_code error;
  if (std::filesystem::is_directory(installed, error)) return fromFolder(installed);
  return fromFolder(folder / kFolderName);
}

const LocalizationTables& LocalizationTables::process() {
  static const LocalizationTables tables = [] {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? LocalizationTables() : forProgram(executable);
  }();
  return tables;
}

const LocalizationTables::Table* LocalizationTables::table(std::size_t languageIndex) const {
  if (languageIndex >= tables_.size() || !tables_[languageIndex]) return nullptr;
  return &*tables_[languageIndex];
}

const LocalizationTables::Table* LocalizationTables::table(std::string_view code) const {
  const auto index = supportedLanguageIndex(code);
  return index ? table(*index) : nullptr;
}

}  // namespace velmorine::shell
