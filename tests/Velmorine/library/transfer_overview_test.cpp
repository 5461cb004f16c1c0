#include "Velmorine/library/transfer_overview.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/symbol_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::library {
namespace {

using transfer::RuntimeTransfer;
using transfer::TransferState;
using workspace::testing::transferOf;

std::string idOf(int n) { return "00000000-0000-4000-8000-00000000000" + std::to_string(n); }

RuntimeTransfer numbered(int n, TransferState state, double createdAt) {
  auto transfer = transferOf(idOf(n), "peer", state, false, createdAt);
  transfer.name = "batch " + std::to_string(n);
  transfer.totalBytes = 1000;
  return transfer;
}

class TransferOverviewTest : public workspace::testing::ViewFixture {
 protected:
  void apply(std::vector<RuntimeTransfer> transfers, std::set<std::string> dismissed = {},
             std::vector<std::uint64_t> stamps = {}) {
    runtime::RuntimeSnapshot snapshot;
    snapshot.peers = {workspace::testing::peer("peer")};
    snapshot.transfers = std::move(transfers);
    snapshot.transferStamps = std::move(stamps);
    snapshot.dismissedTransfers = std::move(dismissed);
    model->apply(std::move(snapshot));
  }
  std::vector<std::string> shownIDs() const {
    std::vector<std::string> ids;
    for (const auto* row : overview.rows()) ids.push_back(row->card()->transfer().id);
    return ids;
  }
  QPushButton* clearButton() const {
    return overview.findChild<QPushButton*>(QStringLiteral("transfers.clear"));
  }
  bool emptyShown() const {
    return overview.findChild<QWidget*>(QStringLiteral("transfers.empty"))->isVisibleTo(&overview);
  }

  TransferOverview overview{*environment};
};

TEST_F(TransferOverviewTest, RunningFirstThenEndedEachNewestFirstEqualDatesInSnapshotOrder) {
  apply({numbered(1, TransferState::committed, 10), numbered(2, TransferState::transferring, 5),
         numbered(3, TransferState::failed, 30), numbered(4, TransferState::pending, 20),
         numbered(5, TransferState::cancelled, 30)});
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(4), idOf(2), idOf(3), idOf(5), idOf(1)}));
}

TEST_F(TransferOverviewTest, HiddenEndedTransfersLeaveButRunningOnesStay) {
  apply({numbered(1, TransferState::committed, 10), numbered(2, TransferState::transferring, 5)},
        {"peer:" + idOf(1), "peer:" + idOf(2)});
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(2)}));
  EXPECT_FALSE(clearButton()->isEnabled());
}

TEST_F(TransferOverviewTest, ActiveOnlyAndEmpty) {
  apply({});
  EXPECT_TRUE(emptyShown());
  apply({numbered(1, TransferState::committed, 10)});
  EXPECT_FALSE(emptyShown());
  overview.findChild<QCheckBox*>(QStringLiteral("transfers.activeOnly"))->setChecked(true);
  EXPECT_TRUE(shownIDs().empty());
  EXPECT_TRUE(emptyShown());
  EXPECT_TRUE(clearButton()->isEnabled());  // the toggle does not decide what is clearable
}

struct ClearableCase {
  const char* name;
  std::vector<TransferState> states;
  bool hideFirst;
  bool clearable;
};

class TransferOverviewClearable : public TransferOverviewTest,
                                  public ::testing::WithParamInterface<ClearableCase> {};

TEST_P(TransferOverviewClearable, ClearButtonFollowsEndedUnhiddenTransfers) {
  std::vector<RuntimeTransfer> transfers;
  int n = 0;
  for (const auto state : GetParam().states) {
    ++n;
    transfers.push_back(numbered(n, state, n));
  }
  std::set<std::string> hidden;
  if (GetParam().hideFirst) hidden.insert("peer:" + idOf(1));
  apply(transfers, hidden);
  EXPECT_EQ(clearButton()->isEnabled(), GetParam().clearable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransferOverviewClearable,
    ::testing::Values(ClearableCase{"none", {}, false, false},
                      ClearableCase{"onlyRunning", {TransferState::transferring}, false, false},
                      ClearableCase{"oneEnded", {TransferState::rejected}, false, true},
                      ClearableCase{"endedHidden", {TransferState::unconfirmed}, true, false},
                      ClearableCase{"oneOfTwoHidden",
                                    {TransferState::failed, TransferState::committed},
                                    true,
                                    true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransferOverviewTest, ClearAllAsksThenHidesAndIsBusyUntilAnswered) {
  apply({numbered(1, TransferState::committed, 10), numbered(2, TransferState::transferring, 5)});
  clearButton()->click();
  auto* alert = overview.findChild<QMessageBox*>(QStringLiteral("transfers.clearAlert"));
  ASSERT_NE(alert, nullptr);
  EXPECT_TRUE(runtime->calls.empty());
  alert->findChild<QPushButton*>(QStringLiteral("transfers.clearConfirm"))->click();
  ASSERT_EQ(runtime->hideRequests.size(), 1u);
  EXPECT_EQ(runtime->hideRequests[0].first, std::nullopt);
  EXPECT_EQ(runtime->hideRequests[0].second, std::nullopt);
  EXPECT_FALSE(clearButton()->isEnabled());
  EXPECT_TRUE(overview.cleanupBusy());
  runtime->hideCompletions[0](true);
  EXPECT_FALSE(overview.cleanupBusy());
  EXPECT_TRUE(clearButton()->isEnabled());
  EXPECT_EQ(overview.findChild<QMessageBox*>(QStringLiteral("transfers.clearFailed")), nullptr);
}

TEST_F(TransferOverviewTest, OneRowClearsItselfWithoutConfirmation) {
  apply({numbered(1, TransferState::committed, 10), numbered(2, TransferState::transferring, 5)});
  EXPECT_FALSE(overview.row(idOf(2))
                   ->findChild<QToolButton*>(QStringLiteral("transfers.rowMenu"))
                   ->isVisibleTo(&overview));
  overview.row(idOf(1))->findChild<QAction*>(QStringLiteral("transfer.removeRecord"))->trigger();
  ASSERT_EQ(runtime->hideRequests.size(), 1u);
  EXPECT_EQ(runtime->hideRequests[0].first, "peer");
  EXPECT_EQ(runtime->hideRequests[0].second, idOf(1));
}

TEST_F(TransferOverviewTest, AFailedClearShowsTheAlertAndKeepsTheList) {
  apply({numbered(1, TransferState::committed, 10)});
  overview.clearEnded();
  runtime->hideCompletions[0](false);
  auto* alert = overview.findChild<QMessageBox*>(QStringLiteral("transfers.clearFailed"));
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->text(), environment->text("transfer.clearFailed"));
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(1)}));
}

TEST_F(TransferOverviewTest, RowsAreKeptAcrossSnapshotsAndEndedOnesStartCollapsed) {
  auto running = numbered(1, TransferState::transferring, 10);
  apply({running});
  const auto* row = overview.row(idOf(1));
  const auto* card = row->card();
  EXPECT_TRUE(card->isVisibleTo(&overview));
  running.bytes = 500;
  apply({running});
  EXPECT_EQ(overview.row(idOf(1)), row);
  EXPECT_EQ(row->card(), card);
  running.state = TransferState::committed;
  apply({running});
  EXPECT_EQ(overview.row(idOf(1)), row);
  EXPECT_FALSE(row->expanded());
  EXPECT_FALSE(card->isVisibleTo(&overview));
  EXPECT_EQ(row->findChild<QLabel*>(QStringLiteral("transfers.summaryLine"))->text(),
            environment->text("transfer.state.committed") + QStringLiteral(" \u00b7 ") +
                QString::fromStdString(shell::formattedByteCount(1000, "system")));
}

TEST_F(TransferOverviewTest, StampedSnapshotsShowWhatChangedInTheRightOrder) {
  auto first = numbered(1, TransferState::transferring, 10);
  auto second = numbered(2, TransferState::transferring, 20);
  apply({first, second}, {}, {1, 2});
  const auto* row = overview.row(idOf(1));
  first.bytes = 500;
  apply({first, second}, {}, {3, 2});
  EXPECT_EQ(overview.row(idOf(1)), row);
  EXPECT_EQ(row->card()->transfer().bytes, 500u);
  // A transfer that ends moves below the running one, its stamp new, the other's kept.
  second.state = TransferState::failed;
  apply({first, second}, {}, {3, 4});
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(1), idOf(2)}));
  EXPECT_EQ(overview.row(idOf(2))->card()->transfer().state, TransferState::failed);
  // A newer transfer comes first; hiding the ended one takes it away with its stamp unchanged.
  const auto third = numbered(3, TransferState::pending, 30);
  apply({first, second, third}, {}, {3, 4, 5});
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(3), idOf(1), idOf(2)}));
  apply({first, second, third}, {"peer:" + idOf(2)}, {3, 4, 5});
  EXPECT_EQ(shownIDs(), (std::vector<std::string>{idOf(3), idOf(1)}));
  // Without a stamp for each transfer the values decide.
  first.bytes = 600;
  apply({first, second, third}, {"peer:" + idOf(2)}, {3});
  EXPECT_EQ(overview.row(idOf(1))->card()->transfer().bytes, 600u);
}

TEST_F(TransferOverviewTest, APeerNotInTheSnapshotIsAnotherDevice) {
  auto stranger = numbered(1, TransferState::queued, 1);
  stranger.contactID = "gone";
  apply({stranger});
  EXPECT_TRUE(overview.row(idOf(1))
                  ->findChild<workspace::SymbolLabel*>(QStringLiteral("transfers.peer"))
                  ->label()
                  ->text() == environment->text("transfer.otherDevice"));
}

TEST_F(TransferOverviewTest, LooksRight) {
  auto running = numbered(1, TransferState::transferring, 20);
  running.bytes = 400;
  apply({running, numbered(2, TransferState::committed, 10)});
  overview.resize(640, 520);
  workspace::testing::expectMatchesReference(workspace::testing::screenshot(overview),
                                             "library-overview");
}

}  // namespace
}  // namespace velmorine::library
