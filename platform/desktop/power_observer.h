#pragma once

// Sleep, wake and power-off as logind announces them on the system bus (PrepareForSleep,
// PrepareForShutdown). While it watches, the observer holds a delay inhibitor ("sleep:shutdown"),
// so that the system waits for the handler of an announcement before it goes down; the
// inhibitor is released once the handler has run and taken again on wake.

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <functional>
#include <string>

namespace velmorine::platform {

inline constexpr const char* kLogindService = "org.freedesktop.login1";
inline constexpr const char* kLogindPath = "/org/freedesktop/login1";
inline constexpr const char* kLogindManagerInterface = "org.freedesktop.login1.Manager";

class PowerObserver : public QObject {
  Q_OBJECT

 public:
  // `who` and `why` are shown by the system's list of inhibitors.
  PowerObserver(QDBusConnection systemBus, std::string who, std::string why,
                QObject* parent = nullptr);
  ~PowerObserver() override;

  std::function<void()> onSleep;
  std::function<void()> onWake;
  std::function<void()> onPowerOff;

  bool holdsInhibitor() const { return inhibitor_.isValid(); }

 private Q_SLOTS:
  void prepareForSleep(bool starting);
  void prepareForShutdown(bool starting);

 private:
  void takeInhibitor();
  void releaseInhibitor();

  QDBusConnection bus_;
  QString who_;
  QString why_;
  QDBusUnixFileDescriptor inhibitor_;
  bool asking_ = false;
  bool wanted_ = true;  // false from a sleep or power-off until the wake
};

}  // namespace velmorine::platform
