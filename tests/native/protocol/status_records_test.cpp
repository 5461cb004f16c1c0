#include "native/protocol/status_records.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace {

using namespace velmorine::core;

TEST(MessageStatus, OnlyASendingMessageMovesOn) {
  for (int from = 0; from <= 5; ++from) {
    for (int to = 0; to <= 5; ++to) {
      Message message(static_cast<MessageStatus>(from));
      const bool allowed = from == to || (from == 1 && to >= 2);
      EXPECT_EQ(message.transition_to(static_cast<MessageStatus>(to)), allowed) << from << to;
      EXPECT_EQ(static_cast<int>(message.status()), allowed ? to : from);
    }
  }
}

TEST(TransferStatus, FollowsTheTransitionTable) {
  const std::set<std::pair<int, int>> allowed = {
      {0, 1}, {0, 6}, {0, 7}, {1, 2}, {1, 5}, {1, 6}, {1, 7}, {2, 3}, {2, 6},
      {2, 7}, {3, 4}, {3, 6}, {3, 7}, {8, 0}, {8, 6}, {8, 9}, {9, 6}, {9, 8},
  };
  for (int from = 0; from <= 9; ++from) {
    for (int to = 0; to <= 9; ++to) {
      Transfer transfer(static_cast<TransferStatus>(from), 10);
      const bool expected = from == to || allowed.contains({from, to});
      EXPECT_EQ(transfer.transition_to(static_cast<TransferStatus>(to)), expected) << from << to;
    }
  }
}

TEST(TransferStatus, ProgressOnlyGrowsWithinTheTotalWhileTransferring) {
  Transfer transfer(TransferStatus::connecting, 100);
  EXPECT_FALSE(transfer.record_progress(10));
  ASSERT_TRUE(transfer.transition_to(TransferStatus::transferring));
  EXPECT_TRUE(transfer.record_progress(10));
  EXPECT_TRUE(transfer.record_progress(10));
  EXPECT_FALSE(transfer.record_progress(9));
  EXPECT_FALSE(transfer.record_progress(101));
  EXPECT_TRUE(transfer.record_progress(100));
  EXPECT_EQ(transfer.progress_bytes(), 100u);
  ASSERT_TRUE(transfer.transition_to(TransferStatus::completed));
  EXPECT_FALSE(transfer.record_progress(100));
}

}  // namespace
