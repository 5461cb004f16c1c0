#include "platform/dispatch/timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <tuple>
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

// Thousands of one-shot timers and async-after items, some rescheduled and some cancelled, on
// a clock moved in uneven steps: after every step exactly the timers due by then have fired,
// in deadline order (equal deadlines in the order they were armed), and cancelled ones never.
TEST_F(TimerTest, ThousandsFireInDeadlineOrderAndCancelledOnesNever) {
  constexpr size_t kTimers = 20000;
  constexpr size_t kAfters = 2000;
  std::mt19937 random(8);
  // Tenths of a second up to 100 s: many timers share a deadline.
  auto delay = [&] { return static_cast<double>(random() % 1000) / 10.0; };

  struct Expected {
    double deadline;
    size_t armed;  // when it was last armed
    size_t id;
  };
  std::vector<Expected> expected;
  std::vector<size_t> fired;
  std::vector<std::unique_ptr<Timer>> timers;
  const double start = clock_->now();
  on_queue([&] {
    size_t armed = 0;
    std::vector<std::optional<Expected>> live(kTimers);
    for (size_t id = 0; id < kTimers; ++id) {
      timers.push_back(std::make_unique<Timer>(queue_, [&, id] { fired.push_back(id); }));
      const double d = delay();
      timers.back()->schedule(d);
      live[id] = Expected{start + d, armed++, id};
    }
    for (size_t id = 0; id < kTimers; id += 7) {
      const double d = delay();
      timers[id]->schedule(d);
      live[id] = Expected{start + d, armed++, id};
    }
    for (size_t id = 0; id < kTimers; id += 3) {
      timers[id]->cancel();
      live[id].reset();
    }
    for (const auto& entry : live) {
      if (entry) expected.push_back(*entry);
    }
    EXPECT_EQ(queue_.armed_timers(), expected.size());
  });
  // Async-after work is armed on the queue in the order it was asked for.
  for (size_t n = 0; n < kAfters; ++n) {
    const size_t id = kTimers + n;
    const double d = delay();
    queue_.async_after(d, [&, id] { fired.push_back(id); });
    expected.push_back({start + d, kTimers * 2 + n, id});
  }
  on_queue([] {});  // they are measured from when the queue arms them: before the clock moves
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    return std::tie(a.deadline, a.armed) < std::tie(b.deadline, b.armed);
  });

  while (clock_->now() < start + 100.0) {
    // Steps of 0.05 to 3 s: some land exactly on deadlines, some pass many at once.
    advance(static_cast<double>(1 + random() % 60) / 20.0);
    const double now = clock_->now();
    size_t due = 0;
    while (due < expected.size() && expected[due].deadline <= now) ++due;
    ASSERT_EQ(fired.size(), due) << "at " << now - start;
  }
  std::vector<size_t> order;
  for (const auto& entry : expected) order.push_back(entry.id);
  EXPECT_EQ(fired, order);
  on_queue([&] {
    EXPECT_EQ(queue_.armed_timers(), 0u);
    EXPECT_FALSE(queue_.next_deadline().has_value());
    timers.clear();
  });
}

TEST_F(TimerTest, QueueReportsItsArmedTimersAndTheEarliestDeadline) {
  std::optional<Timer> soon;
  std::optional<Timer> later;
  std::optional<Timer> repeating;
  on_queue([&] {
    EXPECT_EQ(queue_.armed_timers(), 0u);
    soon.emplace(queue_, [] {});
    later.emplace(queue_, [] {});
    repeating.emplace(queue_, [] {});
    later->schedule(9.0);
    soon->schedule(2.0);
    repeating->schedule(4.0, 4.0);
    EXPECT_EQ(queue_.armed_timers(), 3u);
    EXPECT_EQ(queue_.next_deadline(), 502.0);
  });
  advance(2.0);
  on_queue([&] {
    EXPECT_EQ(queue_.armed_timers(), 2u);  // the one-shot is gone once it fired
    EXPECT_EQ(queue_.next_deadline(), 504.0);
  });
  advance(2.0);
  on_queue([&] {
    EXPECT_EQ(queue_.armed_timers(), 2u);  // the repeating one is armed again
    EXPECT_EQ(queue_.next_deadline(), 508.0);
    repeating->cancel();
    EXPECT_EQ(queue_.next_deadline(), 509.0);
    soon.reset();
    later.reset();
    repeating.reset();
    EXPECT_EQ(queue_.armed_timers(), 0u);
  });
}

TEST_F(TimerTest, TimerArmedForNowByAHandlerFiresInTheNextPass) {
  std::vector<std::string> seen;
  std::optional<Timer> chained;
  std::optional<Timer> first;
  on_queue([&] {
    chained.emplace(queue_, [&] { seen.push_back("chained"); });
    first.emplace(queue_, [&] {
      seen.push_back("first");
      // Work posted before the chained timer is armed runs before it: the pass that armed it
      // does not run it inline.
      queue_.async([&] { seen.push_back("posted"); });
      chained->schedule(0);
    });
    first->schedule(1.0);
  });
  advance(1.0);
  on_queue([] {});
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "posted", "chained"}));
  on_queue([&] {
    chained.reset();
    first.reset();
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

// Timers armed out of order, with and without leeway, some cancelled (among them the earliest),
// behind a far one-shot: the queue keeps waking for the earliest one left, so each fires, never
// before its deadline, and the cancelled ones never.
TEST(SystemTimer, WakesForTheEarliestTimerAsTimersComeAndGo) {
  SerialQueue queue("test.timer.system.many");
  constexpr int kTimers = 200;
  std::promise<void> all_fired;
  std::vector<std::pair<double, double>> fired;  // deadline, when it fired
  int cancelled_fired = 0;
  std::vector<std::unique_ptr<Timer>> timers;
  std::optional<Timer> far;
  int waiting = 0;
  queue.sync([&] {
    far.emplace(queue, [] {});
    far->schedule(3600.0);
    std::mt19937 random(3);
    std::vector<int> delays(kTimers);
    std::iota(delays.begin(), delays.end(), 1);
    std::shuffle(delays.begin(), delays.end(), random);
    const double base = queue.now();
    for (int i = 0; i < kTimers; ++i) {
      const int tenths_of_ms = delays[static_cast<size_t>(i)];
      // The earliest and every fifth are cancelled.
      const bool cancelled = tenths_of_ms == 1 || i % 5 == 0;
      const double deadline = base + tenths_of_ms / 10000.0;
      timers.push_back(std::make_unique<Timer>(queue, [&, deadline, cancelled] {
        if (cancelled) ++cancelled_fired;
        fired.emplace_back(deadline, queue.now());
        if (--waiting == 0) all_fired.set_value();
      }));
      // Every fourth may fire as much as 20 ms late, to be served with others.
      timers.back()->schedule(deadline - queue.now(), 0, i % 4 ? 0 : 0.02);
      if (cancelled) {
        timers.back()->cancel();
      } else {
        ++waiting;
      }
    }
  });
  ASSERT_EQ(all_fired.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  queue.sync([&] {
    EXPECT_EQ(cancelled_fired, 0);
    for (const auto& [deadline, when] : fired) EXPECT_GE(when, deadline);
    EXPECT_EQ(queue.armed_timers(), 1u);
    timers.clear();
    far.reset();
  });
}

}  // namespace
}  // namespace velmorine::platform
