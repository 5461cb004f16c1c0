#pragma once

// Keeps the push registration in step with what the user wants: while reminders are wanted and
// the service is configured it asks the system for a push token and registers it with the
// reminder service; when they are not, it unregisters the device. Its state is shown as a
// status key, and it maps the route of a tapped remote notification to its contact.
//
// It lives on its owner's queue: every call is made there, and every callback runs there. Each
// change of the wanted state takes a fresh generation; an answer is applied only while the
// generation it started under is current, so late answers never undo a newer choice.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_service_client.h"
#include "native/protocol/uuid.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/push/push_provider.h"

namespace velmorine::reminders {

// The status keys.
inline constexpr const char* kPushOff = "notifications.push.off";
inline constexpr const char* kPushUnconfigured = "notifications.push.unconfigured";
inline constexpr const char* kPushRegistering = "notifications.push.registering";
inline constexpr const char* kPushReady = "notifications.push.ready";
inline constexpr const char* kPushUnavailable = "notifications.push.unavailable";
inline constexpr const char* kPushRevokePending = "notifications.push.revokePending";

class DesktopPushNotifications : public std::enable_shared_from_this<DesktopPushNotifications> {
 public:
  // Installs its handlers in `provider`; the queue must outlive it.
  static std::shared_ptr<DesktopPushNotifications> create(
      platform::SerialQueue& queue, std::shared_ptr<ReminderServiceClient> client,
      std::shared_ptr<platform::PushProvider> provider);
  ~DesktopPushNotifications();
  DesktopPushNotifications(const DesktopPushNotifications&) = delete;
  DesktopPushNotifications& operator=(const DesktopPushNotifications&) = delete;

  // After every change of the status made by an answer.
  std::function<void(const std::string& status)> onStatus;
  // After a registration or an unregistration at the service succeeded.
  std::function<void()> onRegistrationChanged;
  // The locale sent with the token: the owner sets it to the application's language.
  std::string language = "en";

  const std::string& status() const { return status_; }
  bool desired() const { return desired_; }
  // Whether tokens are being handed to the service.
  bool registering() const { return registering_; }

  // The user's effective choice.
  void setDesired(bool wanted);
  // The system's push token; ignored unless wanted, and when empty.
  void receiveDeviceToken(std::vector<uint8_t> token);
  // The system could not register for remote notifications.
  void receiveRegistrationFailure();
  // The user turned notifications off.
  void disable();
  // The contact of a tapped notification's route, or none; a text that is not a UUID gets none
  // at once, inside the call.
  void contactForRoute(const std::string& route,
                       std::function<void(std::optional<std::string>)> done);

 private:
  DesktopPushNotifications(platform::SerialQueue& queue,
                           std::shared_ptr<ReminderServiceClient> client,
                           std::shared_ptr<platform::PushProvider> provider);

  void setStatus(const std::string& status);
  void registrationLoop();
  void unregistrationStep(core::Uuid generation);
  // Runs `work` on the queue later, while this object still exists.
  void later(std::function<void(DesktopPushNotifications&)> work);
  std::function<void(std::function<void(DesktopPushNotifications&)>)> back();

  platform::SerialQueue& queue_;
  std::shared_ptr<ReminderServiceClient> client_;
  std::shared_ptr<platform::PushProvider> provider_;
  std::string status_ = kPushOff;
  bool desired_ = false;
  core::Uuid generation_;
  std::optional<std::vector<uint8_t>> pendingToken_;
  bool registering_ = false;
  // The way back to the queue for answers from other threads; cut when this object goes.
  struct Hop {
    std::mutex mutex;
    platform::SerialQueue* queue = nullptr;
  };
  std::shared_ptr<Hop> hop_;
};

}  // namespace velmorine::reminders
