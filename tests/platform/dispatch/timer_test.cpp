#include "platform/dispatch/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace velmorine::platform {
namespace {

class TimerTest : public ::testing::Test {
 protected:
  // Moves the hand clock and lets the queue run what became due.
  void advance(double seconds) {
    clock_->advance(seconds);
    queue_.sync([] {});
  }
  void on_queue(const std::function<void()>& work) { queue_.sync(work); }

  std::shared_ptr<ManualUptimeClock> clock_ = std::make_shared<ManualUptimeClock>(500.0);
  SerialQueue queue_{"test.timer", clock_};
};

TEST_F(TimerTest, RepeatingTimerFiresAtOnceThenEveryPeriod) {
  int ticks = 0;
  std::optional<Timer> timer;
  on_queue([&] {
    timer.emplace(queue_, [&] { ++ticks; });
    timer->schedule(0, 3.0, 0.1);
  });
  on_queue([] {});
  EXPECT_EQ(ticks, 1);
  advance(2.9);
  EXPECT_EQ(ticks, 1);
  advance(0.1);
  EXPECT_EQ(ticks, 2);
  // A long stall does not replay the missed ticks.
  advance(30.0);
  EXPECT_EQ(ticks, 3);
  advance(3.0);
  EXPECT_EQ(ticks, 4);
  on_queue([&] { timer.reset(); });
}

TEST_F(TimerTest, OneShotFiresOnceAndCancelStopsIt) {
  int once = 0;
  int cancelled = 0;
  std::optional<Timer> first;
  std::optional<Timer> second;
  on_queue([&] {
    first.emplace(queue_, [&] { ++once; });
    second.emplace(queue_, [&] { ++cancelled; });
    first->schedule(10.0);
    second->schedule(10.0);
    second->cancel();
  });
  advance(10.0);
  advance(10.0);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(cancelled, 0);
  on_queue([&] {
    EXPECT_FALSE(first->armed());
    first.reset();
    second.reset();
  });
}

TEST_F(TimerTest, RescheduleReplacesTheEarlierDeadline) {
  int fired = 0;
  std::optional<Timer> timer;
  on_queue([&] {
    timer.emplace(queue_, [&] { ++fired; });
    timer->schedule(5.0);
  });
  advance(4.0);
  on_queue([&] { timer->schedule(5.0); });
  advance(4.0);
  EXPECT_EQ(fired, 0);
  advance(1.0);
  EXPECT_EQ(fired, 1);
  on_queue([&] { timer.reset(); });
}

TEST_F(TimerTest, HandlerMayDestroyItsOwnTimerAndCancelOthers) {
  std::optional<Timer> self;
  std::optional<Timer> victim;
  int victim_fired = 0;
  on_queue([&] {
    self.emplace(queue_, [&] {
      victim->cancel();
      self.reset();
    });
    victim.emplace(queue_, [&] { ++victim_fired; });
    self->schedule(1.0, 1.0);
    victim->schedule(1.0);
  });
  advance(1.0);
  EXPECT_EQ(victim_fired, 0);
  on_queue([&] {
    EXPECT_FALSE(self.has_value());
    victim.reset();
  });
}

TEST(SystemTimer, RepeatingTimerTicksOnRealTime) {
  SerialQueue queue("test.timer.system");
  std::promise<void> three;
  int ticks = 0;
  std::optional<Timer> timer;
  queue.sync([&] {
    timer.emplace(queue, [&] {
      if (++ticks == 3) {
        timer->cancel();
        three.set_value();
      }
    });
    timer->schedule(0, 0.005, 0.001);
  });
  EXPECT_EQ(three.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  queue.sync([&] { timer.reset(); });
  EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace velmorine::platform
