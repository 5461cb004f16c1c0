#include "Velmorine/shell/language_code.h"

#include <cstdlib>

namespace velmorine::shell {

namespace {

// "ll_CC.codeset@modifier" without its codeset and modifier.
std::string_view withoutCodesetAndModifier(std::string_view locale) {
  return locale.substr(0, locale.find_first_of(".@"));
}

bool isPortableLocale(std::string_view name) { return name == "C" || name == "POSIX"; }

}  // namespace

static_assert(kSupportedLanguageCodes[kEnglishIndex] == kEnglishCode);

std::optional<std::size_t> supportedLanguageIndex(std::string_view code) {
  for (std::size_t index = 0; index < kSupportedLanguageCodes.size(); ++index) {
    if (kSupportedLanguageCodes[index] == code) return index;
  }
  return std::nullopt;
}

std::string_view resolvedLanguageCode(std::string_view preference,
                                      std::span<const std::string> preferredLanguages) {
  return kSupportedLanguageCodes[resolvedLanguageIndex(preference, preferredLanguages)];
}

std::size_t resolvedLanguageIndex(std::string_view preference,
                                  std::span<const std::string> preferredLanguages) {
  if (const auto index = supportedLanguageIndex(preference)) return *index;
  std::string entry;
  for (const auto& language : preferredLanguages) {
    entry = language;
    for (char& c : entry) {
      if (c == '_') c = '-';
    }
    if (entry == "zh" || entry.starts_with("zh-Hans") || entry.starts_with("zh-CN") ||
        entry.starts_with("zh-SG")) {
      return 0;
    }
    for (std::size_t index = 0; index < kSupportedLanguageCodes.size(); ++index) {
      const auto code = kSupportedLanguageCodes[index];
      if (entry.starts_with(code) && (entry.size() == code.size() || entry[code.size()] == '-')) {
        return index;
      }
    }
  }
  return kEnglishIndex;
}

EnvironmentLookup processEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::vector<std::string> systemPreferredLanguages(const EnvironmentLookup& environment) {
  std::optional<std::string> locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    auto value = environment(name);
    if (value && !value->empty()) {
      locale = std::move(value);
      break;
    }
  }
  std::vector<std::string> languages;
  if (!locale) return languages;
  const auto messages = withoutCodesetAndModifier(*locale);
  if (isPortableLocale(messages)) return languages;

  if (const auto list = environment("LANGUAGE")) {
    std::string_view rest = *list;
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      const auto entry = withoutCodesetAndModifier(rest.substr(0, colon));
      if (!entry.empty() && !isPortableLocale(entry)) languages.emplace_back(entry);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  if (!messages.empty()) languages.emplace_back(messages);
  return languages;
}

}  // namespace velmorine::shell
