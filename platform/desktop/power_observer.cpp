#include "platform/desktop/power_observer.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <utility>

#include "platform/desktop/pending_call.h"

namespace velmorine::platform {

PowerObserver::PowerObserver(QDBusConnection systemBus, std::string who, std::string why,
                             QObject* parent)
    : QObject(parent),
      bus_(std::move(systemBus)),
      who_(QString::fromStdString(who)),
      why_(QString::fromStdString(why)) {
  bus_.connect(kLogindService, kLogindPath, kLogindManagerInterface, "PrepareForSleep", this,
               SLOT(prepareForSleep(bool)));
  bus_.connect(kLogindService, kLogindPath, kLogindManagerInterface, "PrepareForShutdown", this,
               SLOT(prepareForShutdown(bool)));
  takeInhibitor();
}

PowerObserver::~PowerObserver() {
  bus_.disconnect(kLogindService, kLogindPath, kLogindManagerInterface, "PrepareForSleep", this,
                  SLOT(prepareForSleep(bool)));
  bus_.disconnect(kLogindService, kLogindPath, kLogindManagerInterface, "PrepareForShutdown", this,
                  SLOT(prepareForShutdown(bool)));
}

void PowerObserver::takeInhibitor() {
  wanted_ = true;
  if (asking_ || inhibitor_.isValid()) return;
  asking_ = true;
  auto message = QDBusMessage::createMethodCall(kLogindService, kLogindPath,
                                                kLogindManagerInterface, "Inhibit");
  message << QString("sleep:shutdown") << who_ << why_ << QString("delay");
  whenAnswered(this, bus_.asyncCall(message), [this](const QDBusPendingCall& call) {
    QDBusPendingReply<QDBusUnixFileDescriptor> reply = call;
    asking_ = false;
    // Without logind (or with a sleep begun meanwhile) the system simply does not wait.
    if (!reply.isError() && wanted_) inhibitor_ = reply.value();
  });
}

void PowerObserver::releaseInhibitor() {
  wanted_ = false;
  // The descriptor is a duplicate of the one received; closing it releases the lock.
  inhibitor_ = QDBusUnixFileDescriptor();
}

void PowerObserver::prepareForSleep(bool starting) {
  if (starting) {
    if (onSleep) onSleep();
    releaseInhibitor();
    return;
  }
  if (onWake) onWake();
  takeInhibitor();
}

void PowerObserver::prepareForShutdown(bool starting) {
  if (!starting) {
    // A power-off called off: be asked again next time.
    takeInhibitor();
    return;
  }
  if (onPowerOff) onPowerOff();
  releaseInhibitor();
}

}  // namespace velmorine::platform
