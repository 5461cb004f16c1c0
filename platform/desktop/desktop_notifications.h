#pragma once

// Desktop notifications through the session's notification server
// (org.freedesktop.Notifications). Every call is asynchronous: posting never waits for the
// server, and a server that is gone or stalled costs nothing but the notification.
//
// Notifications are grouped in threads (a peer each): a thread shows at most one notification,
// each post replacing the previous one. Posts are sent when the event loop next turns, so that
// the posts of one turn coalesce into one Notify per thread, the newest winning; so do the
// posts made while the thread's last Notify is still unanswered. The ids the server handed out are
// kept, bounded, to route its signals back to their thread; a closed notification drops its id.
// Lives on the thread of its bus's owner (the main thread).

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

class QDBusServiceWatcher;

namespace velmorine::platform {

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";
// The action the server reports when the notification itself was clicked.
inline constexpr const char* kDefaultNotificationAction = "default";

struct NotificationContent {
  std::string thread;  // one notification shown per thread
  std::string summary;
  std::string body;
  std::string category;     // the hint "category": "im.received", "transfer", ...
  std::string actionLabel;  // the text of the default action
};

class DesktopNotifications : public QObject {
  Q_OBJECT

 public:
  struct Options {
    std::string applicationName;
    std::string desktopEntry;  // the hint "desktop-entry": the program's entry, without ".desktop"
    std::string soundName = "message-new-instant";
    // How many shown notifications are remembered for routing; the oldest go first.
    std::size_t capacity = 256;
    int callTimeoutMilliseconds = 10000;
  };

  DesktopNotifications(QDBusConnection bus, Options options, QObject* parent = nullptr);
  ~DesktopNotifications() override;

  void post(NotificationContent content);
  // Closes every notification this object has shown and still remembers.
  void closeAll();
  // Whether a notification server answers: `done(true)` once it told its capabilities, false
  // when the call failed. Always answers later, never inside the call.
  void queryServer(std::function<void(bool answered)> done);

  // The user invoked an action of a notification of `thread` ("default": clicked it).
  std::function<void(const std::string& thread, const std::string& action)> onAction;

  // For tests: notifications remembered, and threads whose posts were not all answered yet.
  std::size_t remembered() const { return threadOfID_.size(); }
  std::size_t unanswered() const;

 private Q_SLOTS:
  void actionInvoked(uint id, const QString& action);
  void notificationClosed(uint id, uint reason);
  void serverChanged();

 private:
  struct Thread {
    std::optional<std::uint32_t> shown;  // the id the server gave its notification
    bool inFlight = false;
    std::optional<NotificationContent> waiting;
  };

  void sendWaiting();
  void send(const std::string& thread, NotificationContent content);
  void answered(const std::string& thread, std::optional<std::uint32_t> id);
  void remember(const std::string& thread, std::uint32_t id);
  void forget(std::uint32_t id);

  QDBusConnection bus_;
  Options options_;
  std::unordered_map<std::string, Thread> threads_;
  struct Shown {
    std::string thread;
    std::list<std::uint32_t>::iterator place;
  };
  std::map<std::uint32_t, Shown> threadOfID_;
  std::list<std::uint32_t> shownOrder_;  // oldest first
  QDBusServiceWatcher* watcher_ = nullptr;
  bool sendScheduled_ = false;
};

}  // namespace velmorine::platform
