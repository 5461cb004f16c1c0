#include "platform/push/push_provider.h"

namespace velmorine::platform {

void UnavailablePushProvider::set_handlers(TokenHandler, FailureHandler failure) {
  failure_ = std::move(failure);
}

void UnavailablePushProvider::register_for_remote_notifications() {
  if (failure_) failure_("this system has no remote notification service");
}

std::shared_ptr<PushProvider> system_push_provider() {
  return std::make_shared<UnavailablePushProvider>();
}

}  // namespace velmorine::platform
