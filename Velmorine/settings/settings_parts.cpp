#include "Velmorine/settings/settings_parts.h"

namespace velmorine::settings {

SettingsParts applicationSettingsParts() {
  SettingsParts parts;
  parts.about = applicationAboutSources();
  parts.legacyImportSupported = shell::legacyImportSupported();
  parts.chooseImportSource = [](std::string language,
                                std::function<void(shell::LegacyImportOutcome)> done) {
    shell::chooseLegacyImportSource(shell::applicationLegacyImport(), std::move(language),
                                    std::move(done));
  };
  parts.presentImportFailure = [](const std::exception_ptr& failure, std::string_view language) {
    shell::presentLegacyImportFailure(failure, language);
  };
  parts.presentImportReady = [](std::string_view language) {
    shell::presentLegacyImportReady(language);
  };
  return parts;
}

}  // namespace velmorine::settings
