#include "platform/dispatch/uptime_clock.h"

#include <time.h>

namespace velmorine::platform {

std::shared_ptr<void> UptimeClock::on_advance(std::function<void()>) { return nullptr; }

double SystemUptimeClock::now() const { return system_uptime(); }

double system_uptime() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::shared_ptr<UptimeClock> system_uptime_clock() {
  static const auto clock = std::make_shared<SystemUptimeClock>();
  return clock;
}

double ManualUptimeClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::shared_ptr<void> ManualUptimeClock::on_advance(std::function<void()> listener) {
  auto token = std::make_shared<std::function<void()>>(std::move(listener));
  std::lock_guard lock(mutex_);
  listeners_.push_back(token);
  return token;
}

void ManualUptimeClock::set(double seconds) {
  std::vector<std::shared_ptr<std::function<void()>>> live;
  {
    std::lock_guard lock(mutex_);
    if (seconds > now_) now_ = seconds;
    std::erase_if(listeners_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : listeners_) {
      if (auto listener = weak.lock()) live.push_back(std::move(listener));
    }
  }
  // Called outside the lock: a listener may read the clock.
  for (const auto& listener : live) (*listener)();
}

}  // namespace velmorine::platform
