#include "Velmorine/network/network_output_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velmorine::network {
namespace {

TEST(NetworkOutputBudget, ReservesOnlyWhatFitsAndReportsEveryGiveBack) {
  NetworkOutputBudget budget;
  int available = 0;
  budget.setOnAvailable([&] { ++available; });
  EXPECT_EQ(budget.capacity(), 20971520u);
  EXPECT_TRUE(budget.reserve(20971520 - 10));
  EXPECT_TRUE(budget.hasRoomFor(10));
  EXPECT_FALSE(budget.hasRoomFor(11));
  EXPECT_FALSE(budget.reserve(11));
  EXPECT_EQ(budget.used(), 20971520u - 10);
  EXPECT_TRUE(budget.reserve(10));
  budget.giveBack(0);
  EXPECT_EQ(available, 1);
  budget.giveBack(20971520);
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(available, 2);
}

// Connections on several queues share one budget: together they never hold more than its
// capacity, and every byte reserved comes back.
TEST(NetworkOutputBudget, ConnectionsOnManyThreadsNeverOvercommit) {
  NetworkOutputBudget budget;
  std::atomic<int> available{0};
  std::atomic<bool> overcommitted{false};
  std::atomic<size_t> held{0};  // what the threads hold between reserve and give-back
  budget.setOnAvailable([&] { ++available; });
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  std::atomic<int> gaveBack{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const size_t chunk = 1048576 * (t + 1);
      for (int i = 0; i < kRounds; ++i) {
        if (budget.reserve(chunk)) {
          if (held += chunk; held > budget.capacity()) overcommitted = true;
          held -= chunk;
          budget.giveBack(chunk);
          ++gaveBack;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overcommitted);
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(available, gaveBack.load());
  EXPECT_GT(gaveBack.load(), 0);
}

}  // namespace
}  // namespace velmorine::network
