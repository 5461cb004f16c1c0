#include "Velmorine/workspace/main_queue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <thread>
#include <vector>

namespace velmorine::workspace {
namespace {

TEST(MainQueue, RunsWorkOnTheMainThreadInTheOrderPosted) {
  std::vector<int> ran;
  bool everyOnMain = true;
  const auto post = [&](int value) {
    postToMainQueue([&, value] {
      everyOnMain = everyOnMain && QThread::currentThread() == qApp->thread();
      ran.push_back(value);
    });
  };
  post(0);
  std::thread worker([&] {
    for (int value = 1; value <= 1000; ++value) post(value);
  });
  worker.join();
  post(1001);
  EXPECT_TRUE(ran.empty());  // nothing runs before the event loop turns
  QCoreApplication::sendPostedEvents();
  ASSERT_EQ(ran.size(), 1002u);
  for (int value = 0; value <= 1001; ++value) EXPECT_EQ(ran[value], value);
  EXPECT_TRUE(everyOnMain);
}

}  // namespace
}  // namespace velmorine::workspace
