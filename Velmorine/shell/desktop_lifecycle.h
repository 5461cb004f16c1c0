#pragma once

// The application's lifecycle on the desktop: it attaches once to the workspace model and from
// then on turns the desktop's events into model and runtime actions: notifications and their
// clicks (desktop_lifecycle_notifications.cpp), the launcher badge, sleep, wake and power-off,
// activation and re-opening (this file's .cpp), the status of the login item and of
// notifications (desktop_lifecycle_status.cpp), and quitting (desktop_lifecycle_quit.cpp). It
// publishes three status keys for the settings window. It reaches the runtime only through the
// model's runtime operations. Lives on the main thread.

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Velmorine/shell/main_queue_delays.h"
#include "Velmorine/shell/menu_retitling.h"
#include "Velmorine/shell/push_registration.h"
#include "Velmorine/shell/quit_confirmation.h"
#include "Velmorine/shell/termination_coordinator.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/workspace_model.h"
#include "platform/desktop/autostart_entry.h"

namespace velmorine::platform {
class ApplicationActivation;
class DesktopNotifications;
class LauncherBadge;
class PowerObserver;
class QuitSignals;
}  // namespace velmorine::platform

namespace velmorine::shell {

// Status keys.
inline constexpr const char* kStartupEnabled = "startup.enabled";
inline constexpr const char* kStartupDisabled = "startup.disabled";
inline constexpr const char* kStartupUnavailable = "startup.unavailable";
inline constexpr const char* kStartupFailed = "startup.failed";
inline constexpr const char* kNotificationsEnabled = "notifications.enabled";
inline constexpr const char* kNotificationsUnknown = "notifications.unknown";
inline constexpr const char* kNotificationsFailed = "notifications.failed";

class DesktopLifecycle : public QObject {
  Q_OBJECT

 public:
  // What the lifecycle reaches of the desktop and of the process.
  struct Environment {
    Environment(QDBusConnection sessionBus, QDBusConnection systemBus);

    QDBusConnection sessionBus;
    QDBusConnection systemBus;
    // The desktop entry's name and the bus name the program claims.
    std::string productIdentifier;
    std::string productName = "Velmorine";
    // The login item; none: "startup.unavailable".
    std::optional<platform::AutostartEntry> loginItem;
    std::shared_ptr<PushRegistration> push;
    std::shared_ptr<MenuRetitling> menus;  // may be null
    // The quit alert; by default over the texts `text` held at construction.
    std::shared_ptr<QuitConfirmation> confirmation;
    std::shared_ptr<MainQueueDelays> delays;
    MainQueue mainQueue;
    // The application's texts.
    TextLookup text;
    // The system's preferred languages, asked at every use.
    std::function<std::vector<std::string>()> preferredLanguages;
    // The application ends: after an orderly shutdown the event loop ends; at the deadline
    // the process ends at once.
    std::function<void()> quitEventLoop;
    std::function<void()> endProcess;
  };

  // The application's environment: the user's session and system buses, the product's
  // identifier, the login item of the user's configuration folder for the helper beside
  // `executable`, the reminder service's push registration, the event loop's timers.
  static Environment applicationEnvironment(const std::filesystem::path& executable);

  explicit DesktopLifecycle(Environment environment, QObject* parent = nullptr);
  ~DesktopLifecycle() override;

  // Published state.
  const std::string& loginStatus() const { return loginStatus_; }
  const std::string& notificationStatus() const { return notificationStatus_; }
  const std::string& pushNotificationStatus() const { return pushNotificationStatus_; }
  bool systemEnding() const { return systemEnding_; }
  TerminationCoordinator::State terminationState() const { return termination_.state(); }
  const std::optional<std::string>& pendingRemoteContact() const { return pendingRemoteContact_; }
  PushRegistration& push() { return *environment_.push; }
  platform::DesktopNotifications& notifications() { return *notifications_; }

  // Wires the lifecycle to the model, once; later calls change nothing.
  void attach(workspace::WorkspaceModel& model);

  // Login item and notification status.
  void refreshStatus();
  void setLaunchAtLogin(bool on);
  // The settings window's request to allow notifications; completes through
  // notificationAuthorizationCompleted.
  void requestNotificationAuthorization();
  void notificationAuthorizationCompleted(bool granted, std::optional<std::string> error);
  // Notifications switched off: closes every notification this lifecycle posted and clears the
  // launcher badge, with or without a model.
  void withdrawNotifications();

  // The application's state changed (Qt's applicationStateChanged).
  void applicationStateChanged(Qt::ApplicationState state);
  // The program was started again or its launcher clicked: bring the workspace forward.
  void reopen();

  // A click on a notification: the local peer identifier, the route of a remote one, and the
  // action ("default" for the notification itself).
  void notificationResponse(std::optional<std::string> peerID, std::optional<std::string> route,
                            const std::string& action);

  // A request to quit from the menus.
  TerminationReply requestQuit();
  // SIGTERM, SIGINT, SIGHUP: the session or the user ends the process; nobody answers alerts.
  void quitSignal(int signal);
  // Reads the quit signals from now on; blockQuitSignals() must have run in main().
  void installQuitSignals();

  // The menus' retitling installs itself here (the application frame's).
  void setMenuRetitling(std::shared_ptr<MenuRetitling> menus) {
    environment_.menus = std::move(menus);
  }

 Q_SIGNALS:
  void loginStatusPublished();
  void notificationStatusPublished();
  void pushNotificationStatusPublished();

 private:
  void setLoginStatus(std::string status);
  void setNotificationStatus(std::string status);
  void setPushNotificationStatus(std::string status);

  void scheduleBadge();
  void updateBadge();
  void observePower();
  void becameActive();
  void sleep();
  void wake();
  void powerOff();
  void setSystemEnding();

  // Notifications.
  void post(const runtime::RuntimePeer* peer, const runtime::RuntimeSnapshot& snapshot,
            const char* bodyKey, const char* category);
  void postNotices();
  void setPendingContact(const std::string& contact);
  void pendingNavigation();
  void navigate(const std::optional<std::string>& peerID, const std::string& action);

  // Quitting.
  TerminationCoordinator::Steps terminationSteps();
  void end(TerminationEnd how);

  std::string resolvedLanguage(const runtime::RuntimeSnapshot& snapshot) const;

  Environment environment_;
  QPointer<workspace::WorkspaceModel> model_;
  std::string loginStatus_ = kStartupDisabled;
  std::string notificationStatus_ = kNotificationsUnknown;
  std::string pushNotificationStatus_ = "notifications.push.off";
  std::optional<std::string> pendingRemoteContact_;
  std::optional<bool> observedNotificationPreference_;
  bool systemEnding_ = false;
  bool badgeScheduled_ = false;

  // What to notify, gathered while a snapshot is applied and posted once the main queue turns:
  // one notice per peer and snapshot, the newest message's kind winning.
  struct Notice {
    std::string peerID;
    std::string name;
    std::string language;
    const char* bodyKey;
    const char* category;
  };
  std::vector<Notice> notices_;
  // The notices of the snapshot being applied, by its peers: valid only while it is applied.
  std::unordered_map<const runtime::RuntimePeer*, std::size_t> noticeOfPeer_;
  bool noticesScheduled_ = false;
  TerminationCoordinator termination_;

  platform::DesktopNotifications* notifications_ = nullptr;
  std::unique_ptr<platform::LauncherBadge> badge_;
  platform::PowerObserver* power_ = nullptr;
  platform::ApplicationActivation* activation_ = nullptr;
  platform::QuitSignals* quitSignals_ = nullptr;
  QMetaObject::Connection activeConnection_;
};

}  // namespace velmorine::shell
