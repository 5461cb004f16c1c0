#pragma once

// What the lifecycle asks of the push registration, on the main thread: the user's effective
// choice with the application's language, turning it off, and the contact of a tapped remote
// notification's route; it hears the status and successful (un)registrations back, also on the
// main thread. QueuedPushRegistration is the application's, over DesktopPushNotifications.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Velmorine/reminders/desktop_push_notifications.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/push/push_provider.h"

namespace velmorine::shell {

class PushRegistration {
 public:
  virtual ~PushRegistration() = default;

  // Installed by the owner; run on the main thread.
  std::function<void(const std::string& status)> onStatus;
  std::function<void()> onRegistrationChanged;

  // Sets the language sent with the token, then the wanted state.
  virtual void setDesired(bool wanted, std::string language) = 0;
  virtual void disable() = 0;
  // `done` runs on the main thread, later or inside the call.
  virtual void contactForRoute(std::string route,
                               std::function<void(std::optional<std::string>)> done) = 0;
};

// Posts work to the main thread, from any thread.
using MainQueue = std::function<void(std::function<void()>)>;

// DesktopPushNotifications on a serial queue of its own; the system's push provider feeds it
// tokens and failures directly. Calls cross to that queue, answers come back to the main one.
class QueuedPushRegistration final : public PushRegistration {
 public:
  QueuedPushRegistration(std::shared_ptr<reminders::ReminderServiceClient> client,
                         std::shared_ptr<platform::PushProvider> provider, MainQueue mainQueue);
  ~QueuedPushRegistration() override;

  void setDesired(bool wanted, std::string language) override;
  void disable() override;
  void contactForRoute(std::string route,
                       std::function<void(std::optional<std::string>)> done) override;

 private:
  // Cut when this object goes: answers on their way to the main thread are dropped.
  struct Alive {
    bool alive = true;
  };

  MainQueue mainQueue_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  platform::SerialQueue queue_;
  std::shared_ptr<reminders::DesktopPushNotifications> push_;
};

}  // namespace velmorine::shell
