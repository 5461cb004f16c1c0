#include "platform/desktop/desktop_notifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <utility>

#include "platform/desktop/pending_call.h"

namespace velmorine::platform {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

QDBusMessage call(const char* member) {
  return QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                        kNotificationsInterface, member);
}

}  // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, Options options, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), options_(std::move(options)) {
  bus_.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface, "ActionInvoked",
               this, SLOT(actionInvoked(uint, QString)));
  bus_.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
               "NotificationClosed", this, SLOT(notificationClosed(uint, uint)));
  // Ids are the server's own: a new server knows none of them.
  watcher_ = new QDBusServiceWatcher(kNotificationsService, bus_,
                                     QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          &DesktopNotifications::serverChanged);
}

DesktopNotifications::~DesktopNotifications() {
  bus_.disconnect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                  "ActionInvoked", this, SLOT(actionInvoked(uint, QString)));
  bus_.disconnect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                  "NotificationClosed", this, SLOT(notificationClosed(uint, uint)));
}

std::size_t DesktopNotifications::unanswered() const {
  std::size_t count = 0;
  for (const auto& [name, thread] : threads_) count += thread.inFlight || thread.waiting ? 1 : 0;
  return count;
}

void DesktopNotifications::post(NotificationContent content) {
  auto& thread = threads_[content.thread];
  thread.waiting = std::move(content);
  if (thread.inFlight || sendScheduled_) return;
  sendScheduled_ = true;
  QMetaObject::invokeMethod(this, &DesktopNotifications::sendWaiting, Qt::QueuedConnection);
}

void DesktopNotifications::sendWaiting() {
  sendScheduled_ = false;
  for (auto& [name, thread] : threads_) {
    if (thread.inFlight || !thread.waiting) continue;
    auto content = std::move(*thread.waiting);
    thread.waiting.reset();
    send(name, std::move(content));
  }
}

void DesktopNotifications::send(const std::string& name, NotificationContent content) {
  auto& thread = threads_[name];
  thread.inFlight = true;

  QVariantMap hints;
  hints.insert("desktop-entry", text(options_.desktopEntry));
  hints.insert("category", text(content.category));
  hints.insert("sound-name", text(options_.soundName));
  auto message = call("Notify");
  message << text(options_.applicationName) << uint(thread.shown.value_or(0)) << QString()
          << text(content.summary) << text(content.body)
          << QStringList{kDefaultNotificationAction, text(content.actionLabel)} << hints << int(-1);
  whenAnswered(this, bus_.asyncCall(message, options_.callTimeoutMilliseconds),
               [this, name](const QDBusPendingCall& call) {
                 QDBusPendingReply<uint> reply = call;
                 answered(name, reply.isError() ? std::nullopt
                                                : std::optional<std::uint32_t>(reply.value()));
               });
}

void DesktopNotifications::answered(const std::string& name, std::optional<std::uint32_t> id) {
  if (!threads_.contains(name)) return;
  threads_[name].inFlight = false;
  // A failed post is dropped: the user misses one notification, nothing waits for it.
  if (id && *id != 0) remember(name, *id);
  const auto found = threads_.find(name);
  if (found == threads_.end()) return;
  if (found->second.waiting) {
    auto next = std::move(*found->second.waiting);
    found->second.waiting.reset();
    send(name, std::move(next));
    return;
  }
  if (!found->second.shown) threads_.erase(found);
}

void DesktopNotifications::remember(const std::string& name, std::uint32_t id) {
  // The thread's previous notification was replaced; an id handed out again belonged to a
  // notification that is gone.
  if (const auto previous = threads_[name].shown; previous && *previous != id) forget(*previous);
  forget(id);
  threads_[name].shown = id;
  shownOrder_.push_back(id);
  threadOfID_[id] = Shown{name, std::prev(shownOrder_.end())};
  while (threadOfID_.size() > options_.capacity) forget(shownOrder_.front());
}

void DesktopNotifications::forget(std::uint32_t id) {
  const auto found = threadOfID_.find(id);
  if (found == threadOfID_.end()) return;
  const std::string name = found->second.thread;
  shownOrder_.erase(found->second.place);
  threadOfID_.erase(found);
  const auto thread = threads_.find(name);
  if (thread == threads_.end() || thread->second.shown != id) return;
  thread->second.shown.reset();
  if (!thread->second.inFlight && !thread->second.waiting) threads_.erase(thread);
}

void DesktopNotifications::closeAll() {
  for (const auto& [id, shown] : threadOfID_) {
    auto message = call("CloseNotification");
    message << uint(id);
    bus_.asyncCall(message, options_.callTimeoutMilliseconds);
  }
}

void DesktopNotifications::queryServer(std::function<void(bool)> done) {
  whenAnswered(this, bus_.asyncCall(call("GetCapabilities"), options_.callTimeoutMilliseconds),
               [done = std::move(done)](const QDBusPendingCall& answer) {
                 QDBusPendingReply<QStringList> reply = answer;
                 if (done) done(!reply.isError());
               });
}

void DesktopNotifications::actionInvoked(uint id, const QString& action) {
  const auto found = threadOfID_.find(id);
  if (found == threadOfID_.end() || !onAction) return;
  // The handler may post, and so change the maps.
  const std::string thread = found->second.thread;
  onAction(thread, action.toStdString());
}

void DesktopNotifications::notificationClosed(uint id, uint) { forget(id); }

void DesktopNotifications::serverChanged() {
  for (auto& [name, thread] : threads_) thread.shown.reset();
  std::erase_if(threads_,
                [](const auto& entry) { return !entry.second.inFlight && !entry.second.waiting; });
  threadOfID_.clear();
  shownOrder_.clear();
}

}  // namespace velmorine::platform
