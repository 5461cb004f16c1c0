#include "Velmorine/settings/notification_section.h"

#include <QCheckBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Velmorine/settings/return_key.h"
#include "Velmorine/settings/settings_view.h"
#include "Velmorine/workspace/text_label.h"

namespace velmorine::settings {

void setNotificationsEnabled(bool enabled, QPointer<workspace::WorkspaceModel> model,
                             shell::DesktopLifecycle& lifecycle) {
  if (model) {
    model->runtime().updatePreferences([enabled](store::AppPreferences& preferences) {
      preferences.notificationsEnabled = enabled;
    });
  }
  if (enabled) {
    lifecycle.requestNotificationAuthorization();
    return;
  }
  lifecycle.push().disable();
  lifecycle.withdrawNotifications();
}

NotificationSection::NotificationSection(SettingsView& view) : view_(view) {
  setObjectName(QStringLiteral("notifications.title"));
  auto* column = new QVBoxLayout(this);
  column->setSpacing(8);
  toggle_ = new QCheckBox(this);
  toggle_->setObjectName(QStringLiteral("notifications.toggle"));
  clickOnReturn(toggle_);
  auto caption = [this](const char* name) {
    auto* label = new workspace::TextLabel(workspace::TextStyle::caption,
                                           workspace::TextTone::secondary, this);
    label->setObjectName(QString::fromLatin1(name));
    label->setWrapping(true);
    return label;
  };
  status_ = caption("notifications.status");
  push_ = caption("notifications.push");
  privacy_ = caption("notifications.privacy");
  column->addWidget(toggle_);
  column->addWidget(status_);
  column->addWidget(push_);
  column->addWidget(privacy_);

  connect(toggle_, &QCheckBox::toggled, this, [this](bool on) {
    setNotificationsEnabled(on, QPointer(&view_.model()), view_.lifecycle());
    // The toggle follows the snapshot that carries the saved preference.
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(view_.model().snapshot().preferences.notificationsEnabled);
  });
  connect(&view_.lifecycle(), &shell::DesktopLifecycle::notificationStatusPublished, this,
          &NotificationSection::syncStatus);
  connect(&view_.lifecycle(), &shell::DesktopLifecycle::pushNotificationStatusPublished, this,
          &NotificationSection::syncStatus);
  refresh();
}

void NotificationSection::syncStatus() {
  status_->setText(view_.environment().text(view_.lifecycle().notificationStatus()));
  push_->setText(view_.environment().text(view_.lifecycle().pushNotificationStatus()));
}

void NotificationSection::refresh() {
  const auto& text = view_.environment();
  setTitle(text.text("notifications.title"));
  toggle_->setText(text.text("notifications.enable"));
  {
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(view_.model().snapshot().preferences.notificationsEnabled);
  }
  privacy_->setText(text.text("notifications.privacy"));
  syncStatus();
}

}  // namespace velmorine::settings
