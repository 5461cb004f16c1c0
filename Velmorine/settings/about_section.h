#pragma once

// The about section: opens the about sheet, starts the import of older data where this build
// offers it (one picker at a time, none while work is in progress), and shows the version.

#include <QGroupBox>

class QProgressBar;
class QPushButton;

namespace velmorine::workspace {
class TextLabel;
}

namespace velmorine::settings {

class SettingsView;

class AboutSection : public QGroupBox {
  Q_OBJECT

 public:
  explicit AboutSection(SettingsView& view);

  void refresh();
  void startImport();

  bool importingLegacy() const { return importing_; }

  QPushButton* detailsButton() const { return details_; }
  // None where the build offers no import.
  QPushButton* importButton() const { return import_; }
  QProgressBar* importProgress() const { return progress_; }
  workspace::TextLabel* versionLine() const { return version_; }

 private:
  void setImporting(bool importing);

  SettingsView& view_;
  bool importing_ = false;
  QString versionText_;
  QPushButton* details_ = nullptr;
  QPushButton* import_ = nullptr;
  QProgressBar* progress_ = nullptr;
  workspace::TextLabel* version_ = nullptr;
  workspace::TextLabel* privacy_ = nullptr;
};

}  // namespace velmorine::settings
