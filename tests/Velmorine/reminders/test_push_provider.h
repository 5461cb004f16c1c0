#pragma once

// The system's push service as a test plays it: it counts what it was asked and hands over a
// token or a failure when the test says so.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/push/push_provider.h"

namespace velmorine::reminders::testing {

class TestPushProvider final : public platform::PushProvider {
 public:
  void set_handlers(TokenHandler token, FailureHandler failure) override {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
    failure_ = std::move(failure);
  }
  void register_for_remote_notifications() override { ++registrations; }
  void unregister_for_remote_notifications() override { ++unregistrations; }

  void deliverToken(std::vector<uint8_t> token) {
    std::lock_guard lock(mutex_);
    if (token_) token_(std::move(token));
  }
  void deliverFailure() {
    std::lock_guard lock(mutex_);
    if (failure_) failure_("refused");
  }

  std::atomic<int> registrations = 0;
  std::atomic<int> unregistrations = 0;

 private:
  std::mutex mutex_;
  TokenHandler token_;
  FailureHandler failure_;
};

}  // namespace velmorine::reminders::testing
