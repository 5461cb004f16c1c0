#pragma once

// What the settings window reaches besides the model and the lifecycle: the about sheet's
// sources and the import of older data. `applicationSettingsParts` gives the program's own;
// tests put in their own.

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "Velmorine/settings/about_view.h"
#include "Velmorine/shell/legacy_import_gate.h"

namespace velmorine::settings {

struct SettingsParts {
  AboutSources about;
  // Whether this build offers the import of older data (`legacyImportSupported`).
  bool legacyImportSupported = false;
  // Shows the folder picker and stages the choice; `done` runs on the main thread.
  std::function<void(std::string language, std::function<void(shell::LegacyImportOutcome)> done)>
      chooseImportSource;
  std::function<void(const std::exception_ptr& failure, std::string_view language)>
      presentImportFailure;
  std::function<void(std::string_view language)> presentImportReady;
};

SettingsParts applicationSettingsParts();

}  // namespace velmorine::settings
