#pragma once

// The network section: networking on and off, its status and the help about what may block
// discovery, a restart, the reset of every known device (confirmed by the settings window), and
// the discovery problems the runtime reports, one line each.

#include <QGroupBox>
#include <QString>

#include "Velmorine/runtime/runtime_snapshot.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace velmorine::workspace {
class TextLabel;
}

namespace velmorine::settings {

class SettingsView;

// "<interface> · <operation> · <code>".
QString discoveryIssueLine(const network::DiscoveryIssue& issue);

class NetworkSection : public QGroupBox {
  Q_OBJECT

 public:
  explicit NetworkSection(SettingsView& view);

  void refresh();

  QCheckBox* networkToggle() const { return toggle_; }
  workspace::TextLabel* statusLine() const { return status_; }
  QPushButton* retryButton() const { return retry_; }
  QPushButton* resetButton() const { return reset_; }
  // None while the snapshot lists no issue.
  QToolButton* detailsButton() const { return details_; }
  // The issue lines, in the snapshot's order (shown while the details are open).
  QList<QLabel*> issueLines() const;

 private:
  void syncIssues();

  SettingsView& view_;
  QVBoxLayout* column_ = nullptr;
  QCheckBox* toggle_ = nullptr;
  workspace::TextLabel* status_ = nullptr;
  workspace::TextLabel* permissionHelp_ = nullptr;
  workspace::TextLabel* systemHelp_ = nullptr;
  QPushButton* retry_ = nullptr;
  QPushButton* reset_ = nullptr;
  workspace::TextLabel* resetDescription_ = nullptr;
  QToolButton* details_ = nullptr;
  QWidget* issues_ = nullptr;
  std::vector<network::DiscoveryIssue> shownIssues_;
};

}  // namespace velmorine::settings
