#pragma once

// The notification section: notifications on and off, the desktop's answer, the state of the
// reminder registration, and what notifications show. Switching on asks the notification server
// (which asks no permission on the desktop); switching off stops the reminder registration,
// closes what was posted and clears the launcher badge.

#include <QGroupBox>
#include <QPointer>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/workspace/workspace_model.h"

class QCheckBox;

namespace velmorine::workspace {
class TextLabel;
}

namespace velmorine::settings {

class SettingsView;

// The toggle's action. The preference is saved only while the model exists; the request or the
// withdrawal happens either way.
void setNotificationsEnabled(bool enabled, QPointer<workspace::WorkspaceModel> model,
                             shell::DesktopLifecycle& lifecycle);

class NotificationSection : public QGroupBox {
  Q_OBJECT

 public:
  explicit NotificationSection(SettingsView& view);

  void refresh();

  QCheckBox* notificationsToggle() const { return toggle_; }
  workspace::TextLabel* statusLine() const { return status_; }
  workspace::TextLabel* pushLine() const { return push_; }

 private:
  void syncStatus();

  SettingsView& view_;
  QCheckBox* toggle_ = nullptr;
  workspace::TextLabel* status_ = nullptr;
  workspace::TextLabel* push_ = nullptr;
  workspace::TextLabel* privacy_ = nullptr;
};

}  // namespace velmorine::settings
