#include "Velmorine/shell/text_lookup.h"

#include <QLocale>
#include <QString>
#include <algorithm>
#include <limits>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace velmorine::shell {

namespace {

// The resolved language of the preference; the system's languages are read only when the
// preference does not name a supported language itself.
std::size_t resolvedIndexForProcess(std::string_view language) {
  if (const auto index = supportedLanguageIndex(language)) return *index;
  const auto preferred = systemPreferredLanguages(processEnvironment());
  return resolvedLanguageIndex(language, preferred);
}

// A key that no table holds, kept so that it can be shown like a text.
const std::string& missingKey(std::string_view key) {
  static std::mutex mutex;
  static std::unordered_set<std::string, TextHash, std::equal_to<>> keys;
  const std::lock_guard lock(mutex);
  auto found = keys.find(key);
  if (found == keys.end()) found = keys.emplace(key).first;
  return *found;  // nodes stay where they are as the set grows
}

// The chosen language's text, else the English one, else the key.
const std::string& lookUp(const LocalizationTables& tables, std::string_view key,
                          std::size_t index) {
  if (const auto* table = tables.table(index)) {
    if (const auto found = table->find(key); found != table->end()) return found->second;
  }
  if (index != kEnglishIndex) {
    if (const auto* table = tables.table(kEnglishIndex)) {
      if (const auto found = table->find(key); found != table->end()) return found->second;
    }
  }
  return missingKey(key);
}

std::string formatBytes(const LocalizationTables& tables, std::uint64_t count, std::size_t index) {
  if (count == 0) return lookUp(tables, kZeroBytesKey, index);
  const auto clamped =
      static_cast<qint64>(std::min<std::uint64_t>(count, std::numeric_limits<std::int64_t>::max()));
  QString name = QString::fromLatin1(kSupportedLanguageCodes[index]);
  name.replace(QLatin1Char('-'), QLatin1Char('_'));
  return QLocale(name).formattedDataSize(clamped, 1, QLocale::DataSizeSIFormat).toStdString();
}

std::string trimmedText(const platform::Bundle& bundle, const char* key) {
  const auto* value = bundle.infoValue(key);
  if (value == nullptr || !value->is_string()) return {};
  return QString::fromStdString(value->get<std::string>()).trimmed().toStdString();
}

}  // namespace

const std::string& localizedString(const LocalizationTables& tables, std::string_view key,
                                   std::string_view language,
                                   std::span<const std::string> preferredLanguages) {
  return lookUp(tables, key, resolvedLanguageIndex(language, preferredLanguages));
}

const std::string& localizedString(std::string_view key, std::string_view language) {
  return lookUp(LocalizationTables::process(), key, resolvedIndexForProcess(language));
}

std::string formattedByteCount(const LocalizationTables& tables, std::uint64_t count,
                               std::string_view language,
                               std::span<const std::string> preferredLanguages) {
  return formatBytes(tables, count, resolvedLanguageIndex(language, preferredLanguages));
}

std::string formattedByteCount(std::uint64_t count, std::string_view language) {
  return formatBytes(LocalizationTables::process(), count, resolvedIndexForProcess(language));
}

std::string applicationVersionText(const platform::Bundle* bundle) {
  if (bundle == nullptr) return "\u2014";
  const auto shortVersion = trimmedText(*bundle, kShortVersionKey);
  const auto build = trimmedText(*bundle, kBundleVersionKey);
  if (!shortVersion.empty()) {
    if (!build.empty() && build != shortVersion) return shortVersion + " (" + build + ")";
    return shortVersion;
  }
  if (!build.empty()) return build;
  return "\u2014";
}

TextLookup processTextLookup() {
  return [](std::string_view key, std::string_view language) {
    return localizedString(key, language);
  };
}

}  // namespace velmorine::shell
