#pragma once

// The system's remote-notification (push) registration: asking for a push token, giving it up,
// and hearing of the token or of a failure. Linux has no system push service; its provider
// reports every registration as failed, and tests install a provider of their own.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmorine::platform {

class PushProvider {
 public:
  using TokenHandler = std::function<void(std::vector<uint8_t> token)>;
  using FailureHandler = std::function<void(std::string reason)>;

  virtual ~PushProvider() = default;

  // Installs the handlers (empty ones remove them). They may run on any thread, also inside
  // the calls below.
  virtual void set_handlers(TokenHandler token, FailureHandler failure) = 0;
  // Asks for a push token: later the token handler hears of it, or the failure handler.
  virtual void register_for_remote_notifications() = 0;
  virtual void unregister_for_remote_notifications() = 0;
};

// The provider of a system without a push service: registering fails at once.
class UnavailablePushProvider final : public PushProvider {
 public:
  void set_handlers(TokenHandler token, FailureHandler failure) override;
  void register_for_remote_notifications() override;
  void unregister_for_remote_notifications() override {}

 private:
  FailureHandler failure_;
};

std::shared_ptr<PushProvider> system_push_provider();

}  // namespace velmorine::platform
