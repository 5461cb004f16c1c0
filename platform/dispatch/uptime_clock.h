#pragma once

// The system uptime in seconds, and a clock that tests move by hand. Every deadline,
// freshness test and rate window takes its clock from its owner, so nothing below reads the
// time behind a test's back.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmorine::platform {

class UptimeClock {
 public:
  virtual ~UptimeClock() = default;
  // Seconds since an arbitrary origin; never goes backwards.
  virtual double now() const = 0;
  // False for a clock that only moves when told to: queues then wait for `on_advance`
  // instead of arming real timers.
  virtual bool advances_by_itself() const { return true; }
  // Registers a listener called (on the advancing thread) whenever the clock is moved by
  // hand. The listener lives as long as the returned token.
  virtual std::shared_ptr<void> on_advance(std::function<void()> listener);
};

// clock_gettime(CLOCK_MONOTONIC): like the original's uptime it stops while the machine sleeps.
class SystemUptimeClock final : public UptimeClock {
 public:
  double now() const override;
};

double system_uptime();
std::shared_ptr<UptimeClock> system_uptime_clock();

class ManualUptimeClock final : public UptimeClock {
 public:
  explicit ManualUptimeClock(double start = 1000.0) : now_(start) {}

  double now() const override;
  bool advances_by_itself() const override { return false; }
  std::shared_ptr<void> on_advance(std::function<void()> listener) override;

  void set(double seconds);
  void advance(double seconds) { set(now() + seconds); }

 private:
  mutable std::mutex mutex_;
  double now_;
  std::vector<std::weak_ptr<std::function<void()>>> listeners_;
};

}  // namespace velmorine::platform
