#include "Velmorine/transfer/transfer_state.h"

#include <gtest/gtest.h>

#include <string>

namespace velmorine::transfer {
namespace {

struct StateCase {
  TransferState state;
  std::string raw;
  bool ended;
};

class TransferStateTable : public ::testing::TestWithParam<StateCase> {};

TEST_P(TransferStateTable, RawValueRoundTripsAndEndedMatches) {
  const StateCase& c = GetParam();
  EXPECT_EQ(rawValue(c.state), c.raw);
  EXPECT_EQ(transferStateFromRaw(c.raw), c.state);
  EXPECT_EQ(isEnded(c.state), c.ended);
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, TransferStateTable,
    ::testing::Values(StateCase{TransferState::queued, "queued", false},
                      StateCase{TransferState::offering, "offering", false},
                      StateCase{TransferState::offered, "offered", false},
                      StateCase{TransferState::pending, "pending", false},
                      StateCase{TransferState::accepting, "accepting", false},
                      StateCase{TransferState::transferring, "transferring", false},
                      StateCase{TransferState::awaitingCommit, "awaitingCommit", false},
                      StateCase{TransferState::committed, "committed", true},
                      StateCase{TransferState::unconfirmed, "unconfirmed", true},
                      StateCase{TransferState::rejected, "rejected", true},
                      StateCase{TransferState::cancelled, "cancelled", true},
                      StateCase{TransferState::failed, "failed", true}),
    [](const ::testing::TestParamInfo<StateCase>& param) { return param.param.raw; });

TEST(TransferState, DeclarationOrderIsThePositionOrder) {
  EXPECT_LT(TransferState::queued, TransferState::awaitingCommit);
  EXPECT_EQ(static_cast<int>(TransferState::awaitingCommit), 6);
  EXPECT_EQ(static_cast<int>(TransferState::failed), 11);
}

TEST(TransferState, OtherTextGivesNoState) {
  for (const char* raw : {"done", "Queued", "QUEUED", "", " queued", "queued ", "awaitingcommit"}) {
    EXPECT_EQ(transferStateFromRaw(raw), std::nullopt) << raw;
  }
}

}  // namespace
}  // namespace velmorine::transfer
