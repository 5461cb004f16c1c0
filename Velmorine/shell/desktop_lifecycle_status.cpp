// The login item and the notification status the settings window shows, and the push
// registration's wanted state that follows them.

#include <system_error>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "platform/desktop/desktop_notifications.h"
#include "platform/desktop/launcher_badge.h"

namespace velmorine::shell {

namespace {

const char* loginKey(platform::AutostartStatus status) {
  switch (status) {
    case platform::AutostartStatus::enabled:
      return kStartupEnabled;
    case platform::AutostartStatus::disabled:
      return kStartupDisabled;
    case platform::AutostartStatus::unavailable:
      return kStartupUnavailable;
  }
  return kStartupUnavailable;
}

}  // namespace

void DesktopLifecycle::refreshStatus() {
  if (environment_.menus) environment_.menus->refresh();
  setLoginStatus(environment_.loginItem ? loginKey(environment_.loginItem->status())
                                        : kStartupUnavailable);

  // Linux has no permission to ask for: a notification server that answers is permission.
  notifications_->queryServer([self = QPointer(this)](bool answered) {
    if (!self) return;
    self->setNotificationStatus(answered ? kNotificationsEnabled : kNotificationsUnknown);
    auto* model = self->model_.data();
    if (model == nullptr || !model->hasReceivedSnapshot()) return;
    const auto& snapshot = model->snapshot();
    // A storage problem leaves the push registration as it is.
    if (snapshot.status.starts_with("storage.")) return;
    self->environment_.push->setDesired(snapshot.preferences.notificationsEnabled && answered,
                                        self->resolvedLanguage(snapshot));
  });
}

void DesktopLifecycle::setLaunchAtLogin(bool on) {
  bool failed = !environment_.loginItem;
  if (environment_.loginItem) {
    try {
      if (!on) {
        // Needs no helper: an entry left behind by a helper that is gone can still go.
        environment_.loginItem->disable();
      } else if (environment_.loginItem->status() == platform::AutostartStatus::unavailable) {
        failed = true;
      } else {
        environment_.loginItem->enable();
      }
    } catch (const std::system_error&) {
      failed = true;
    }
  }
  if (failed && model_) model_->setSettingsErrorKey(kStartupFailed);
  refreshStatus();
}

void DesktopLifecycle::requestNotificationAuthorization() {
  notifications_->queryServer([self = QPointer(this)](bool answered) {
    if (!self) return;
    self->notificationAuthorizationCompleted(
        answered, answered ? std::nullopt : std::optional<std::string>("no notification server"));
  });
}

void DesktopLifecycle::notificationAuthorizationCompleted(bool, std::optional<std::string> error) {
  environment_.mainQueue([self = QPointer(this), failed = error.has_value()] {
    if (!self) return;
    if (failed && self->model_) self->model_->setSettingsErrorKey(kNotificationsFailed);
    // The refresh reads the real state; the answer itself is not used.
    self->refreshStatus();
  });
}

void DesktopLifecycle::withdrawNotifications() {
  notifications_->closeAll();
  badge_->show(std::nullopt);
}

}  // namespace velmorine::shell
