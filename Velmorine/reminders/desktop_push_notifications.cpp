#include "Velmorine/reminders/desktop_push_notifications.h"

#include "Velmorine/reminders/reminder_grant.h"

namespace velmorine::reminders {

std::shared_ptr<DesktopPushNotifications> DesktopPushNotifications::create(
    platform::SerialQueue& queue, std::shared_ptr<ReminderServiceClient> client,
    std::shared_ptr<platform::PushProvider> provider) {
  std::shared_ptr<DesktopPushNotifications> push(
      new DesktopPushNotifications(queue, std::move(client), std::move(provider)));
  // The system may call from any thread.
  auto back = push->back();
  push->provider_->set_handlers(
      [back](std::vector<uint8_t> token) {
        back([token](DesktopPushNotifications& self) { self.receiveDeviceToken(token); });
      },
      [back](std::string) {
        back([](DesktopPushNotifications& self) { self.receiveRegistrationFailure(); });
      });
  return push;
}

DesktopPushNotifications::DesktopPushNotifications(platform::SerialQueue& queue,
                                                   std::shared_ptr<ReminderServiceClient> client,
                                                   std::shared_ptr<platform::PushProvider> provider)
    : queue_(queue),
      client_(std::move(client)),
      provider_(std::move(provider)),
      generation_(core::Uuid::random()),
      hop_(std::make_shared<Hop>()) {
  hop_->queue = &queue;
}

DesktopPushNotifications::~DesktopPushNotifications() {
  provider_->set_handlers({}, {});
  std::lock_guard lock(hop_->mutex);
  hop_->queue = nullptr;
}

void DesktopPushNotifications::later(std::function<void(DesktopPushNotifications&)> work) {
  queue_.async([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

// An answer of the client, which comes on the client's queue, taken back to this object's
// queue; dropped once this object is gone. The object itself is only touched there, so it is
// never released on the client's queue.
std::function<void(std::function<void(DesktopPushNotifications&)>)>
DesktopPushNotifications::back() {
  return
      [hop = hop_, weak = weak_from_this()](std::function<void(DesktopPushNotifications&)> work) {
        std::lock_guard lock(hop->mutex);
        if (hop->queue == nullptr) return;
        hop->queue->async([weak, work = std::move(work)] {
          if (auto self = weak.lock()) work(*self);
        });
      };
}

void DesktopPushNotifications::setStatus(const std::string& status) {
  status_ = status;
  if (onStatus) onStatus(status_);
}

void DesktopPushNotifications::setDesired(bool wanted) {
  queue_.assert_current();
  // A repeated call keeps the generation, so an answer to an earlier one still applies.
  if (wanted != desired_) generation_ = core::Uuid::random();
  desired_ = wanted;
  later([generation = generation_, wanted](DesktopPushNotifications& self) {
    if (self.generation_ != generation) return;
    if (!self.client_->isConfigured()) {
      self.setStatus(wanted ? kPushUnconfigured : kPushOff);
      return;
    }
    if (wanted) {
      if (self.status_ != kPushReady) self.setStatus(kPushRegistering);
      // Asked again even when ready: the system hands out its current token.
      self.provider_->register_for_remote_notifications();
      return;
    }
    self.unregistrationStep(generation);
  });
}

void DesktopPushNotifications::receiveDeviceToken(std::vector<uint8_t> token) {
  queue_.assert_current();
  if (!desired_ || token.empty()) return;
  // A newer token replaces one not yet sent; a running loop takes it.
  pendingToken_ = std::move(token);
  if (registering_) return;
  registering_ = true;
  later([](DesktopPushNotifications& self) { self.registrationLoop(); });
}

void DesktopPushNotifications::registrationLoop() {
  if (!desired_ || !pendingToken_) {
    registering_ = false;
    return;
  }
  std::vector<uint8_t> token = std::move(*pendingToken_);
  pendingToken_.reset();
  const core::Uuid generation = generation_;
  client_->registerDevice(std::move(token), language,
                          [back = back(), generation](std::exception_ptr error) {
                            back([generation, error](DesktopPushNotifications& self) {
                              if (self.desired_ && self.generation_ == generation) {
                                // A failure is shown, not passed on.
                                self.setStatus(error ? kPushUnavailable : kPushReady);
                                if (!error && self.onRegistrationChanged)
                                  self.onRegistrationChanged();
                              }
                              self.registrationLoop();
                            });
                          });
}

void DesktopPushNotifications::receiveRegistrationFailure() {
  queue_.assert_current();
  if (desired_) setStatus(kPushUnavailable);
}

void DesktopPushNotifications::disable() {
  queue_.assert_current();
  desired_ = false;
  generation_ = core::Uuid::random();
  pendingToken_.reset();
  provider_->unregister_for_remote_notifications();
  later([generation = generation_](DesktopPushNotifications& self) {
    self.unregistrationStep(generation);
  });
}

void DesktopPushNotifications::unregistrationStep(core::Uuid generation) {
  client_->unregisterDevice([back = back(), generation](std::exception_ptr error) {
    back([generation, error](DesktopPushNotifications& self) {
      if (self.generation_ != generation || self.desired_) return;
      self.setStatus(error ? kPushRevokePending : kPushOff);
      if (!error && self.onRegistrationChanged) self.onRegistrationChanged();
    });
  });
}

void DesktopPushNotifications::contactForRoute(
    const std::string& route, std::function<void(std::optional<std::string>)> done) {
  queue_.assert_current();
  if (!isUuidText(route)) {
    done(std::nullopt);
    return;
  }
  client_->contactForRoute(
      route, [back = back(), done = std::move(done)](std::optional<std::string> contact,
                                                     std::exception_ptr error) {
        // A failure to look it up is no contact.
        if (error) contact.reset();
        back([done, contact](DesktopPushNotifications&) { done(contact); });
      });
}

}  // namespace velmorine::reminders
