#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include "platform/dispatch/timer.h"

namespace velmorine::platform {
namespace {

TEST(SerialQueue, RunsWorkInOrderOnItsOwnThread) {
  SerialQueue queue("test.order");
  std::vector<int> seen;
  bool off_queue_inside = false;
  for (int i = 0; i < 100; ++i) {
    queue.async([&, i] {
      seen.push_back(i);
      if (!queue.is_current()) off_queue_inside = true;
    });
  }
  queue.sync([] {});
  std::vector<int> expected(100);
  for (int i = 0; i < 100; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(off_queue_inside);
  EXPECT_FALSE(queue.is_current());
  EXPECT_EQ(queue.label(), "test.order");
}

TEST(SerialQueue, SyncFromTheQueueRunsInline) {
  SerialQueue queue("test.inline");
  int depth = 0;
  queue.sync([&] { queue.sync([&] { depth = 2; }); });
  EXPECT_EQ(depth, 2);
}

TEST(SerialQueue, AsyncAfterWaitsForTheClock) {
  auto clock = std::make_shared<ManualUptimeClock>(100.0);
  SerialQueue queue("test.after", clock);
  std::vector<int> fired;
  queue.async_after(2.0, [&] { fired.push_back(2); });
  queue.async_after(1.0, [&] { fired.push_back(1); });
  queue.sync([] {});
  EXPECT_TRUE(fired.empty());

  clock->advance(1.5);
  queue.sync([] {});
  EXPECT_EQ(fired, std::vector<int>{1});

  clock->advance(10.0);
  queue.sync([] {});
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, AsyncAfterOnTheSystemClockFires) {
  SerialQueue queue("test.after.system");
  std::promise<double> fired;
  const double asked = queue.now();
  queue.async_after(0.01, [&] { fired.set_value(queue.now()); });
  auto future = fired.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_GE(future.get() - asked, 0.01);
}

TEST(SerialQueue, AHandlePostsWhileTheQueueLivesAndDropsWorkAfter) {
  auto queue = std::make_unique<SerialQueue>("test.handle");
  const SerialQueue::Handle handle = queue->handle();
  bool ran = false;
  EXPECT_TRUE(handle.async([&] { ran = queue->is_current(); }));
  queue->sync([] {});
  EXPECT_TRUE(ran);

  queue.reset();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> held = token;
  EXPECT_FALSE(handle.async([token = std::move(token)] { FAIL() << "ran after its queue"; }));
  // The refused work is let go at once, with what it held.
  EXPECT_TRUE(held.expired());
  EXPECT_FALSE(SerialQueue::Handle().async([] {}));
}

TEST(UptimeClock, SystemUptimeIsTheMonotonicClockInSeconds) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const double before = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  const double uptime = system_uptime();
  EXPECT_GE(uptime, before);
  EXPECT_LT(uptime - before, 60.0);
  EXPECT_TRUE(system_uptime_clock()->advances_by_itself());
}

TEST(UptimeClock, ManualClockNeverGoesBack) {
  ManualUptimeClock clock(50.0);
  clock.set(40.0);
  EXPECT_EQ(clock.now(), 50.0);
  clock.advance(2.5);
  EXPECT_EQ(clock.now(), 52.5);
}

}  // namespace
}  // namespace velmorine::platform
