#include "Velmorine/shell/push_registration.h"

#include <utility>

#include "native/product/product_identifier.h"

namespace velmorine::shell {

QueuedPushRegistration::QueuedPushRegistration(
    std::shared_ptr<reminders::ReminderServiceClient> client,
    std::shared_ptr<platform::PushProvider> provider, MainQueue mainQueue)
    : mainQueue_(std::move(mainQueue)), queue_(product_scoped("push")) {
  queue_.sync([&] {
    push_ =
        reminders::DesktopPushNotifications::create(queue_, std::move(client), std::move(provider));
    // `alive` is read on the main thread only, where this object is destroyed too.
    push_->onStatus = [this, main = mainQueue_, alive = alive_](const std::string& status) {
      main([this, alive, status] {
        if (alive->alive && onStatus) onStatus(status);
      });
    };
    push_->onRegistrationChanged = [this, main = mainQueue_, alive = alive_] {
      main([this, alive] {
        if (alive->alive && onRegistrationChanged) onRegistrationChanged();
      });
    };
  });
}

QueuedPushRegistration::~QueuedPushRegistration() {
  alive_->alive = false;
  // It lives on its queue and is released there; work still queued for it finds it gone.
  queue_.sync([&] { push_.reset(); });
}

void QueuedPushRegistration::setDesired(bool wanted, std::string language) {
  queue_.async([weak = std::weak_ptr(push_), wanted, language = std::move(language)] {
    if (auto push = weak.lock()) {
      push->language = language;
      push->setDesired(wanted);
    }
  });
}

void QueuedPushRegistration::disable() {
  queue_.async([weak = std::weak_ptr(push_)] {
    if (auto push = weak.lock()) push->disable();
  });
}

void QueuedPushRegistration::contactForRoute(std::string route,
                                             std::function<void(std::optional<std::string>)> done) {
  queue_.async([weak = std::weak_ptr(push_), main = mainQueue_, alive = alive_,
                route = std::move(route), done = std::move(done)] {
    auto push = weak.lock();
    if (!push) return;
    push->contactForRoute(route, [main, alive, done](std::optional<std::string> contact) {
      main([alive, done, contact] {
        if (alive->alive && done) done(contact);
      });
    });
  });
}

}  // namespace velmorine::shell
