#include <gtest/gtest.h>

#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using transfer::TransferState;

// Records the hooks' calls: which hook, with which peer, and what the model showed meanwhile.
class ApplyingSnapshots : public WorkspaceFixture {
 protected:
  ApplyingSnapshots() {
    model->unreadChanged = [this] { ++unreadRuns; };
    model->incomingNotification = [this](const runtime::RuntimePeer* peer,
                                         const runtime::RuntimeSnapshot& applied) {
      hooks.push_back("message " + (peer ? peer->id : std::string("none")));
      shownDuringHook = model->snapshot().messages.size();
      appliedDuringHook = applied.messages.size();
    };
    model->incomingFileNotification = [this](const runtime::RuntimePeer* peer,
                                             const runtime::RuntimeSnapshot&) {
      hooks.push_back("file " + (peer ? peer->id : std::string("none")));
    };
    model->languageChanged = [this](const std::string& language) { languages.push_back(language); };
  }

  runtime::RuntimeSnapshot snapshot(std::vector<runtime::RuntimeMessage> messages,
                                    std::vector<transfer::RuntimeTransfer> transfers = {},
                                    bool notifications = true) {
    runtime::RuntimeSnapshot snapshot;
    snapshot.peers = {peer("a"), peer("b")};
    snapshot.messages = std::move(messages);
    snapshot.transfers = std::move(transfers);
    snapshot.preferences.notificationsEnabled = notifications;
    return snapshot;
  }

  // The application in front, the main window showing a's conversation.
  void viewA() {
    applyPeers({peer("a"), peer("b")});
    model->setSelectedPeerID("a");
    unreadRuns = 0;
  }

  int unreadRuns = 0;
  std::vector<std::string> hooks;
  std::vector<std::string> languages;
  size_t shownDuringHook = 0;
  size_t appliedDuringHook = 0;
};

TEST_F(ApplyingSnapshots, AMessageOfTheViewedContactIsNeverCounted) {
  viewA();
  model->apply(snapshot({message("m1", "a")}));
  EXPECT_TRUE(model->unread().empty());
  EXPECT_TRUE(hooks.empty());
  // Not later either, once the user looks elsewhere.
  model->setSelectedPeerID("b");
  model->apply(snapshot({message("m1", "a")}));
  EXPECT_TRUE(model->unread().empty());
  EXPECT_TRUE(hooks.empty());
}

TEST_F(ApplyingSnapshots, EachNewMessageCountsAndNotifiesOnceWhileNotViewed) {
  viewA();
  model->applicationActive = false;
  model->apply(snapshot({message("m1", "a"), message("m2", "a"), message("o1", "a", true)}));
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"a", 2}}));
  EXPECT_EQ(hooks, (std::vector<std::string>{"message a", "message a"}));
  // Two counts, one run per assignment, and one more once the snapshot is in.
  EXPECT_EQ(unreadRuns, 3);
  // The hooks see the snapshot being applied while the model still shows the previous one.
  EXPECT_EQ(appliedDuringHook, 3u);
  EXPECT_EQ(shownDuringHook, 0u);
  EXPECT_EQ(model->snapshot().messages.size(), 3u);

  model->apply(snapshot({message("m1", "a"), message("m2", "a"), message("o1", "a", true)}));
  EXPECT_EQ(model->unread().at("a"), 2);
  EXPECT_EQ(hooks.size(), 2u);
}

struct ViewCase {
  const char* name;
  bool active;
  bool visible;
  WorkspaceSection section;
  const char* selected;
  bool counted;
};

class BeingViewed : public ApplyingSnapshots, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(BeingViewed, TakesAllFourConditions) {
  const auto& c = GetParam();
  applyPeers({peer("a"), peer("b")});
  model->setSelectedPeerID(c.selected);
  model->setSection(c.section);
  model->applicationActive = c.active;
  model->setWorkspaceVisible(c.visible);
  model->apply(snapshot({message("m1", "a")}));
  EXPECT_EQ(model->unread().contains("a"), c.counted);
  EXPECT_EQ(hooks.size(), c.counted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BeingViewed,
    ::testing::Values(ViewCase{"viewed", true, true, WorkspaceSection::conversation, "a", false},
                      ViewCase{"inactive", false, true, WorkspaceSection::conversation, "a", true},
                      ViewCase{"hidden", true, false, WorkspaceSection::conversation, "a", true},
                      ViewCase{"transfersPane", true, true, WorkspaceSection::transfers, "a", true},
                      ViewCase{"otherPeer", true, true, WorkspaceSection::conversation, "b", true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(ApplyingSnapshots, WithoutNotificationsCountsStillRise) {
  model->apply(snapshot({message("m1", "a")}, {}, /*notifications=*/false));
  EXPECT_EQ(model->unread().at("a"), 1);
  EXPECT_TRUE(hooks.empty());
}

TEST_F(ApplyingSnapshots, OnlyLiveMessagesCountWhenTheSnapshotNamesThem) {
  auto first = snapshot({message("old", "a"), message("live", "b")});
  first.liveIncoming = std::set<std::string>{"live"};
  model->apply(first);
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"b", 1}}));
  // A message seen once is not counted later, even when nothing is named live any more.
  auto second = snapshot({message("old", "a"), message("live", "b"), message("new", "a")});
  model->apply(second);
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"a", 1}, {"b", 1}}));
}

TEST_F(ApplyingSnapshots, AMessageFromAnUnlistedPeerNotifiesWithNoPeer) {
  model->apply(snapshot({message("m1", "stranger")}));
  EXPECT_EQ(hooks, (std::vector<std::string>{"message none"}));
}

TEST_F(ApplyingSnapshots, AnOfferIsAnnouncedOnceWhileTheRuntimeReportsIt) {
  const auto offer = [](TransferState state) { return transferOf("t1", "a", state); };
  model->apply(snapshot({}, {offer(TransferState::offering)}));
  EXPECT_TRUE(hooks.empty());
  model->apply(snapshot({}, {offer(TransferState::pending)}));
  model->apply(snapshot({}, {offer(TransferState::transferring)}));
  model->apply(snapshot({}, {offer(TransferState::pending)}));
  EXPECT_EQ(hooks, (std::vector<std::string>{"file a"}));
  EXPECT_EQ(model->unread().at("a"), 1);
  // Gone from the snapshot, it is forgotten: back again, it is news again.
  model->apply(snapshot({}, {}));
  model->apply(snapshot({}, {offer(TransferState::pending)}));
  EXPECT_EQ(hooks, (std::vector<std::string>{"file a", "file a"}));
  // Outgoing transfers are never offers to us.
  model->apply(snapshot({}, {transferOf("t2", "b", TransferState::pending, true)}));
  EXPECT_EQ(hooks.size(), 2u);
}

TEST_F(ApplyingSnapshots, AnOfferOfTheViewedContactIsRememberedUncounted) {
  viewA();
  model->apply(snapshot({}, {transferOf("t1", "a", TransferState::pending)}));
  model->setSelectedPeerID("b");
  model->apply(snapshot({}, {transferOf("t1", "a", TransferState::pending)}));
  EXPECT_TRUE(hooks.empty());
  EXPECT_FALSE(model->unread().contains("a"));
}

TEST_F(ApplyingSnapshots, AnOfferFallsBackToTheMessageHookAndNotifiesWithNoPeer) {
  model->incomingFileNotification = nullptr;
  model->apply(snapshot({}, {transferOf("t1", "stranger", TransferState::pending)}));
  EXPECT_EQ(hooks, (std::vector<std::string>{"message none"}));
  model->incomingNotification = nullptr;
  model->apply(snapshot({}, {transferOf("t2", "a", TransferState::pending)}));
  EXPECT_EQ(hooks.size(), 1u);
  EXPECT_EQ(model->unread().at("a"), 1);
}

TEST_F(ApplyingSnapshots, TheLanguageHookRunsOnceForEachChange) {
  auto next = snapshot({});
  model->apply(next);  // "system" after the placeholder's "system"
  next.preferences.language = "ja";
  model->apply(next);
  model->apply(next);
  next.preferences.language = "system";
  model->apply(next);
  EXPECT_EQ(languages, (std::vector<std::string>{"ja", "system"}));
}

}  // namespace
}  // namespace velmorine::workspace::testing
