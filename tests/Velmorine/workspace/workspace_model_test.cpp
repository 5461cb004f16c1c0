#include "Velmorine/workspace/workspace_model.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using transfer::TransferState;

using WorkspaceModelTest = WorkspaceFixture;

TEST_F(WorkspaceModelTest, ShowsThePlaceholderUntilTheFirstSnapshot) {
  EXPECT_FALSE(model->hasReceivedSnapshot());
  EXPECT_EQ(model->snapshot().status, "network.paused");
  EXPECT_FALSE(model->snapshot().enabled);
  EXPECT_TRUE(model->snapshot().peers.empty());
  EXPECT_EQ(model->snapshot().preferences.language, "system");
  EXPECT_EQ(model->snapshot().preferences.displayName, "Velmorine Mac");
  EXPECT_FALSE(model->hasWorkInProgress());
  EXPECT_EQ(model->selectedPeer(), nullptr);
  // One unaddressed preparation is the composer's; construction starts nothing.
  ASSERT_EQ(preparations.size(), 1u);
  EXPECT_EQ(model->attachments(), preparations[0]);
  EXPECT_EQ(model->unaddressedAttachments(), preparations[0]);
  EXPECT_EQ(preparations[0]->recipientID(), std::nullopt);
  EXPECT_TRUE(runtime->calls.empty());
  ASSERT_TRUE(runtime->onSnapshot);

  runtime::RuntimeSnapshot first;
  first.status = "network.searching";
  runtime->onSnapshot(first);
  EXPECT_TRUE(model->hasReceivedSnapshot());
  EXPECT_EQ(model->snapshot().status, "network.searching");
}

TEST_F(WorkspaceModelTest, SnapshotsAfterTheModelIsGoneDoNothing) {
  auto onSnapshot = runtime->onSnapshot;
  model.reset();
  onSnapshot(runtime::RuntimeSnapshot{});
}

TEST_F(WorkspaceModelTest, PublishedPropertiesSignalEveryAssignmentEqualValuesToo) {
  QSignalSpy errors(model.get(), &WorkspaceModel::errorKeyPublished);
  QSignalSpy inspector(model.get(), &WorkspaceModel::inspectorVisiblePublished);
  QSignalSpy snapshots(model.get(), &WorkspaceModel::snapshotPublished);
  model->setErrorKey("send.offline");
  model->setErrorKey("send.offline");
  model->setInspectorVisible(true);
  model->apply(runtime::RuntimeSnapshot{});
  model->apply(runtime::RuntimeSnapshot{});
  EXPECT_EQ(errors.count(), 2);
  EXPECT_EQ(inspector.count(), 1);
  EXPECT_EQ(snapshots.count(), 2);
}

struct WorkCase {
  const char* name;
  runtime::RuntimeSnapshot snapshot;
  bool inProgress;
};

runtime::RuntimeSnapshot withMessage(runtime::MessageDelivery delivery) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.messages = {message("m", "other", true)};
  snapshot.messages[0].delivery = delivery;
  return snapshot;
}

runtime::RuntimeSnapshot withTransfer(TransferState state) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.transfers = {transferOf("t", "other", state)};
  return snapshot;
}

runtime::RuntimeSnapshot waitingForReminder() {
  runtime::RuntimeSnapshot snapshot;
  snapshot.waitingReminderPeers = {"wire-x"};
  return snapshot;
}

class WorkInProgress : public WorkspaceFixture, public ::testing::WithParamInterface<WorkCase> {};

TEST_P(WorkInProgress, CountsEveryPeersMessagesAndTransfers) {
  model->apply(GetParam().snapshot);
  EXPECT_EQ(model->hasWorkInProgress(), GetParam().inProgress);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkInProgress,
    ::testing::Values(
        WorkCase{"nothing", {}, false}, WorkCase{"waitingReminder", waitingForReminder(), true},
        WorkCase{"queued", withMessage(runtime::MessageDelivery::queued), true},
        WorkCase{"sending", withMessage(runtime::MessageDelivery::sending), true},
        WorkCase{"acknowledged", withMessage(runtime::MessageDelivery::acknowledged), false},
        WorkCase{"unconfirmedMessage", withMessage(runtime::MessageDelivery::unconfirmed), false},
        WorkCase{"failedMessage", withMessage(runtime::MessageDelivery::failed), false},
        WorkCase{"queuedTransfer", withTransfer(TransferState::queued), true},
        WorkCase{"pending", withTransfer(TransferState::pending), true},
        WorkCase{"awaitingCommit", withTransfer(TransferState::awaitingCommit), true},
        WorkCase{"committed", withTransfer(TransferState::committed), false},
        WorkCase{"unconfirmed", withTransfer(TransferState::unconfirmed), false},
        WorkCase{"rejected", withTransfer(TransferState::rejected), false},
        WorkCase{"cancelled", withTransfer(TransferState::cancelled), false},
        WorkCase{"failed", withTransfer(TransferState::failed), false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(WorkspaceModelTest, MarkingTheWorkspaceVisibleReadsTheShownConversationOnly) {
  int hookRuns = 0;
  model->unreadChanged = [&] { ++hookRuns; };
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->setUnread({{"a", 2}, {"b", 1}});
  model->setWorkspaceVisible(false);
  model->setSection(WorkspaceSection::transfers);
  hookRuns = 0;

  model->markWorkspaceVisible();
  EXPECT_TRUE(model->workspaceVisible());
  EXPECT_EQ(model->unread().size(), 2u);
  EXPECT_EQ(hookRuns, 0);

  model->setSection(WorkspaceSection::conversation);
  model->markWorkspaceVisible();
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"b", 1}}));
  EXPECT_EQ(hookRuns, 1);
  // Also when the contact has no count.
  model->markWorkspaceVisible();
  EXPECT_EQ(hookRuns, 2);
}

TEST_F(WorkspaceModelTest, AddingAttachmentsOpensTheCurrentChooser) {
  model->setSection(WorkspaceSection::received);
  model->addAttachments();
  EXPECT_EQ(model->section(), WorkspaceSection::received);
  EXPECT_EQ(unaddressed().chooseCalls, 1);

  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->setSection(WorkspaceSection::transfers);
  model->addAttachments();
  EXPECT_EQ(model->section(), WorkspaceSection::conversation);
  EXPECT_EQ(current().recipientID(), "a");
  EXPECT_EQ(current().chooseCalls, 1);
}

TEST_F(WorkspaceModelTest, ADeviceResetClearsTheSelectionOnlyWhenItsPeerVanished) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->finishDeviceReset(false);
  EXPECT_EQ(model->settingsErrorKey(), "devices.resetFailed");
  EXPECT_EQ(model->selectedPeerID(), "a");

  model->setSettingsErrorKey(std::nullopt);
  model->finishDeviceReset(true);
  EXPECT_EQ(model->selectedPeerID(), "a");
  EXPECT_EQ(model->settingsErrorKey(), std::nullopt);

  applyPeers({peer("b")});
  model->finishDeviceReset(true);
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);
  EXPECT_EQ(model->attachments(), model->unaddressedAttachments());
}

TEST_F(WorkspaceModelTest, StartingTheRuntimeHoldsTheModelWeakly) {
  const auto start = model->startRuntime();
  start();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"start"}));
  model.reset();
  start();
  EXPECT_EQ(runtime->calls.size(), 1u);
}

}  // namespace
}  // namespace velmorine::workspace::testing
