#include <gtest/gtest.h>

#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using transfer::TransferState;

using Conversation = WorkspaceFixture;

TEST_F(Conversation, ListsTheSelectedContactsItemsInHistoryOrder) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.historyOrder = {{"message:peer-a:m2", 1}, {"transfer:peer-a:t1", 2}};
  snapshot.messages = {message("m1", "Peer-A", false, 1), message("m2", "Peer-A", true, 9),
                       message("m3", "peer-a", false, 0)};
  snapshot.transfers = {transferOf("t1", "Peer-A", TransferState::committed, false, 8)};
  applyPeers({peer("Peer-A")}, snapshot);
  EXPECT_TRUE(model->conversationItems().empty());

  model->setSelectedPeerID("Peer-A");
  const auto messages = model->conversationMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].id, "m1");
  EXPECT_EQ(messages[1].id, "m2");
  const auto items = model->conversationItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].id(), "message:m2");
  EXPECT_EQ(items[1].id(), "transfer:t1");
  EXPECT_EQ(items[2].id(), "message:m1");
  EXPECT_TRUE(model->itemPrecedes(items[0], items[1]));
  EXPECT_TRUE(model->itemPrecedes(items[1], items[2]));
  EXPECT_FALSE(model->itemPrecedes(items[2], items[0]));
}

TEST_F(Conversation, SelectingAPeerLoadsReadsAndDialsIt) {
  int unreadRuns = 0;
  model->unreadChanged = [&] { ++unreadRuns; };
  auto past = peer("h");
  past.historical = true;
  applyPeers({peer("a", /*online=*/false), past});
  model->setUnread({{"a", 2}, {"h", 1}});
  model->setSection(WorkspaceSection::received);
  unreadRuns = 0;

  model->setSelectedPeerID("a");
  EXPECT_EQ(model->section(), WorkspaceSection::conversation);
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"selectConversation a first", "connectPeer wire-a"}));
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"h", 1}}));
  EXPECT_EQ(unreadRuns, 1);
  // Every time it is selected; a historical peer is not dialled.
  model->setSelectedPeerID("a");
  model->setSelectedPeerID("h");
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"selectConversation a first", "connectPeer wire-a",
                                      "selectConversation a first", "connectPeer wire-a",
                                      "selectConversation h first"}));
}

TEST_F(Conversation, FilesPickedWithoutAPeerGoToThePeerSelectedNext) {
  applyPeers({peer("a"), peer("b")});
  auto picked = preparations[0];
  picked->selections = true;
  model->setSelectedPeerID("a");
  EXPECT_EQ(model->attachments(), picked);
  EXPECT_EQ(picked->recipientID(), "a");
  EXPECT_EQ(model->attachmentDrafts().at("a"), picked);
  EXPECT_NE(model->unaddressedAttachments(), picked);
  EXPECT_EQ(unaddressed().recipientID(), std::nullopt);

  model->setSelectedPeerID("b");
  EXPECT_EQ(current().recipientID(), "b");
  EXPECT_FALSE(current().hasSelections());
  EXPECT_EQ(model->attachmentDrafts().at("b"), model->attachments());

  model->setSelectedPeerID(std::nullopt);
  EXPECT_EQ(model->attachments(), model->unaddressedAttachments());
  model->setSelectedPeerID("a");
  EXPECT_EQ(model->attachments(), picked);
}

struct ChoiceCase {
  const char* name;
  std::function<void(FakePreparation& own, FakePreparation& unaddressed)> state;
  bool pendingSend;
  bool keepsOwn;
};

class PreparationChoice : public WorkspaceFixture,
                          public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(PreparationChoice, KeepsThePeersOwnUnlessTheUnaddressedOneIsBusy) {
  applyPeers({peer("a"), peer("b")});
  model->setSelectedPeerID("a");
  const auto own = model->attachments();
  model->setDraft("hello", "a");
  if (GetParam().pendingSend) model->send();
  model->setSelectedPeerID(std::nullopt);
  const auto waiting = model->unaddressedAttachments();
  GetParam().state(static_cast<FakePreparation&>(*own), static_cast<FakePreparation&>(*waiting));

  model->setSelectedPeerID("a");
  if (GetParam().keepsOwn) {
    EXPECT_EQ(model->attachments(), own);
    EXPECT_EQ(model->unaddressedAttachments(), waiting);
  } else {
    EXPECT_EQ(model->attachments(), waiting);
    EXPECT_EQ(model->attachmentDrafts().at("a"), waiting);
    EXPECT_EQ(waiting->recipientID(), "a");
    EXPECT_NE(model->unaddressedAttachments(), waiting);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreparationChoice,
    ::testing::Values(
        ChoiceCase{"neitherBusy", [](FakePreparation&, FakePreparation&) {}, false, true},
        ChoiceCase{"unaddressedHasFiles",
                   [](FakePreparation&, FakePreparation& u) { u.selections = true; }, false, false},
        ChoiceCase{"unaddressedChoosing",
                   [](FakePreparation&, FakePreparation& u) { u.chooserOpen = true; }, false,
                   false},
        ChoiceCase{"unaddressedImporting",
                   [](FakePreparation&, FakePreparation& u) { u.imports = 1; }, false, false},
        ChoiceCase{"bothHaveFiles",
                   [](FakePreparation& o, FakePreparation& u) {
                     o.selections = true;
                     u.selections = true;
                   },
                   false, true},
        ChoiceCase{"ownChoosing",
                   [](FakePreparation& o, FakePreparation& u) {
                     o.chooserOpen = true;
                     u.selections = true;
                   },
                   false, true},
        ChoiceCase{"ownImporting",
                   [](FakePreparation& o, FakePreparation& u) {
                     o.imports = 2;
                     u.selections = true;
                   },
                   false, true},
        ChoiceCase{"ownSendPending",
                   [](FakePreparation&, FakePreparation& u) { u.selections = true; }, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(Conversation, ThePeerListSelectionIsTheConversationPanes) {
  applyPeers({peer("a"), peer("b")});
  model->setConversationSelection("a");
  EXPECT_EQ(model->conversationSelection(), "a");
  model->setSection(WorkspaceSection::transfers);
  EXPECT_EQ(model->conversationSelection(), std::nullopt);
  // Leaving the conversation pane does not drop the selection.
  model->setConversationSelection(std::nullopt);
  EXPECT_EQ(model->selectedPeerID(), "a");
  EXPECT_EQ(model->section(), WorkspaceSection::transfers);
  // Choosing a peer from another pane selects it and shows its conversation.
  model->setConversationSelection("b");
  EXPECT_EQ(model->selectedPeerID(), "b");
  EXPECT_EQ(model->section(), WorkspaceSection::conversation);
  model->setConversationSelection(std::nullopt);
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);
}

}  // namespace
}  // namespace velmorine::workspace::testing
