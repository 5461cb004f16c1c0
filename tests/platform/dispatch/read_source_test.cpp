#include "platform/dispatch/read_source.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>

namespace velmorine::platform {
namespace {

class ReadSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0);
  }
  void TearDown() override {
    if (fds_[1] >= 0) close(fds_[1]);
  }

  SerialQueue queue_{"test.read"};
  int fds_[2] = {-1, -1};
};

TEST_F(ReadSourceTest, HandlerRunsOnTheQueueForEachReadiness) {
  std::promise<void> got_two;
  int bytes = 0;
  bool on_queue = true;
  std::optional<ReadSource> source;
  queue_.sync([&] {
    source.emplace(queue_, fds_[0], [&] {
      on_queue = on_queue && queue_.is_current();
      char buffer[16];
      while (read(fds_[0], buffer, sizeof buffer) > 0) ++bytes;
      if (bytes == 2) got_two.set_value();
    });
  });
  ASSERT_EQ(write(fds_[1], "a", 1), 1);
  // Wait for the first byte to be taken before sending the second, so two events happen.
  for (int spins = 0; spins < 1000000; ++spins) {
    int seen = 0;
    queue_.sync([&] { seen = bytes; });
    if (seen == 1) break;
  }
  ASSERT_EQ(write(fds_[1], "b", 1), 1);
  EXPECT_EQ(got_two.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(on_queue);
  queue_.sync([&] { source.reset(); });
}

TEST_F(ReadSourceTest, CancelClosesTheDescriptorAndSilencesTheHandler) {
  int calls = 0;
  std::optional<ReadSource> source;
  queue_.sync([&] {
    source.emplace(queue_, fds_[0], [&] { ++calls; });
    source->cancel();
    EXPECT_FALSE(source->active());
  });
  // The read end is gone: writing now fails with EPIPE.
  errno = 0;
  EXPECT_EQ(write(fds_[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  queue_.sync([&] { source.reset(); });
  EXPECT_EQ(calls, 0);
}

TEST_F(ReadSourceTest, HandlerMayCancelItsOwnSource) {
  std::promise<void> called;
  int calls = 0;
  std::optional<ReadSource> source;
  queue_.sync([&] {
    source.emplace(queue_, fds_[0], [&] {
      ++calls;
      source->cancel();
      called.set_value();
    });
  });
  ASSERT_EQ(write(fds_[1], "a", 1), 1);
  ASSERT_EQ(called.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  queue_.sync([&] { source.reset(); });
  EXPECT_EQ(calls, 1);
}

TEST_F(ReadSourceTest, DataLeftUnreadCallsTheHandlerAgain) {
  // A handler that takes one byte per event still sees all three without further writes.
  std::promise<void> all_read;
  int bytes = 0;
  std::optional<ReadSource> source;
  ASSERT_EQ(write(fds_[1], "abc", 3), 3);
  queue_.sync([&] {
    source.emplace(queue_, fds_[0], [&] {
      char byte;
      if (read(fds_[0], &byte, 1) == 1 && ++bytes == 3) all_read.set_value();
    });
  });
  EXPECT_EQ(all_read.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  queue_.sync([&] { source.reset(); });
}

}  // namespace
}  // namespace velmorine::platform
