#pragma once

// The import's modal dialogs behind a small interface: the application shows a QMessageBox and a
// folder-only QFileDialog; tests answer them from a script.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace velmorine::shell {

struct LegacyImportAlert {
  std::string message;
  std::string informativeText;
  std::vector<std::string> buttons;  // the first is the default, the last answers Escape

  friend bool operator==(const LegacyImportAlert&, const LegacyImportAlert&) = default;
};

struct LegacyImportPicker {
  std::string title;
  std::string message;
  std::string prompt;  // the title of the button that chooses
  std::optional<std::filesystem::path> startFolder;

  friend bool operator==(const LegacyImportPicker&, const LegacyImportPicker&) = default;
};

class LegacyImportDialogs {
 public:
  virtual ~LegacyImportDialogs() = default;
  // Shows the alert and waits: the index of the button that ended it, or none.
  virtual std::optional<std::size_t> runAlert(const LegacyImportAlert& alert) = 0;
  // Shows the picker of one folder and waits: the chosen folder, or none when cancelled.
  virtual std::optional<std::filesystem::path> chooseFolder(const LegacyImportPicker& picker) = 0;
};

class QtLegacyImportDialogs final : public LegacyImportDialogs {
 public:
  // Application-modal without a parent, window-modal over `parent` otherwise.
  explicit QtLegacyImportDialogs(QWidget* parent = nullptr) : parent_(parent) {}

  std::optional<std::size_t> runAlert(const LegacyImportAlert& alert) override;
  std::optional<std::filesystem::path> chooseFolder(const LegacyImportPicker& picker) override;

  // The object names the dialogs carry, for tests and accessibility.
  static constexpr const char* kAlertName = "migration.alert";
  static constexpr const char* kPickerName = "migration.picker";
  static constexpr const char* kPickerMessageName = "migration.picker.message";

 private:
  QWidget* parent_;
};

}  // namespace velmorine::shell
