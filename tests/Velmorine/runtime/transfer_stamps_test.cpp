// The stamps that let the views skip comparing unchanged transfers: equal stamps must mean
// equal values, for the same runtime's later snapshots.

#include "Velmorine/runtime/transfer_stamps.h"

#include <gtest/gtest.h>

#include <functional>

namespace velmorine::runtime {
namespace {

transfer::RuntimeTransfer transferOf(std::string id, std::string contact = "contact-a") {
  transfer::RuntimeTransfer made;
  made.id = std::move(id);
  made.contactID = std::move(contact);
  made.name = "Album";
  made.totalBytes = 1000;
  made.bytes = 10;
  made.state = transfer::TransferState::transferring;
  return made;
}

struct StampCase {
  const char* name;
  // Applied to the second snapshot's first transfer.
  std::function<void(std::vector<transfer::RuntimeTransfer>&)> change;
  bool keepsStamp;
};

class TransferStampsTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(TransferStampsTest, AStampIsKeptOnlyForAnEqualValue) {
  TransferStamps stamps;
  std::vector<transfer::RuntimeTransfer> first{transferOf("t1"), transferOf("t2")};
  const auto before = stamps.stamp(first);
  ASSERT_EQ(before.size(), 2u);
  EXPECT_NE(before[0], 0u);
  EXPECT_NE(before[0], before[1]);

  auto second = first;
  GetParam().change(second);
  const auto after = stamps.stamp(second);
  ASSERT_EQ(after.size(), second.size());
  EXPECT_EQ(after[0] == before[0], GetParam().keepsStamp);
  // Every stamp given in the second snapshot is taken by no other transfer of it.
  for (std::size_t i = 1; i < after.size(); ++i) EXPECT_NE(after[i], after[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, TransferStampsTest,
    ::testing::Values(
        StampCase{"Unchanged", [](auto&) {}, true},
        StampCase{"BytesMoved", [](auto& list) { ++list[0].bytes; }, false},
        StampCase{"StateChanged",
                  [](auto& list) { list[0].state = transfer::TransferState::committed; }, false},
        StampCase{"LocationSet", [](auto& list) { list[0].location = "file:///r/"; }, false},
        StampCase{"ItemsChanged",
                  [](auto& list) { list[0].items.push_back(transfer::TransferDisplayItem{}); },
                  false},
        StampCase{"MovedInTheList", [](auto& list) { std::swap(list[0], list[1]); }, false},
        StampCase{"SameIdentifierOtherContact", [](auto& list) { list[0].contactID = "contact-b"; },
                  false},
        StampCase{"AnotherTransferAdded", [](auto& list) { list.push_back(transferOf("t3")); },
                  true}),
    [](const ::testing::TestParamInfo<StampCase>& row) { return std::string(row.param.name); });

TEST(TransferStamps, ATransferThatLeftAndCameBackIsStampedAnew) {
  TransferStamps stamps;
  const std::vector<transfer::RuntimeTransfer> listed{transferOf("t1")};
  const auto first = stamps.stamp(listed);
  EXPECT_TRUE(stamps.stamp({}).empty());
  const auto again = stamps.stamp(listed);
  EXPECT_NE(again[0], first[0]);
  // Back to a value shown earlier is still a change to the views.
  auto moved = listed;
  ++moved[0].bytes;
  const auto third = stamps.stamp(moved);
  EXPECT_NE(stamps.stamp(listed)[0], third[0]);
}

}  // namespace
}  // namespace velmorine::runtime
