#pragma once

// An asynchronous D-Bus call's answer, delivered in a later turn of the event loop while
// `context` lives: also when the call was refused at once (no bus), which a pending-call
// watcher never reports.

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QMetaObject>
#include <QObject>
#include <functional>
#include <utility>

namespace velmorine::platform {

inline void whenAnswered(QObject* context, const QDBusPendingCall& call,
                         std::function<void(const QDBusPendingCall&)> done) {
  if (call.isFinished()) {
    QMetaObject::invokeMethod(
        context, [call, done = std::move(done)] { done(call); }, Qt::QueuedConnection);
    return;
  }
  auto* watcher = new QDBusPendingCallWatcher(call, context);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                   [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     done(*finished);
                   });
}

}  // namespace velmorine::platform
