#include <gtest/gtest.h>

#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using transfer::ContentFailure;

// The selected peer "a" with everything in place for a send; each case changes one thing.
struct SendSetup {
  runtime::RuntimePeer peer = testing::peer("a");
  bool inOutbox = false;
  std::string draft = "hello";
  bool selections = false;
  bool prepared = false;
  std::optional<std::string> recipient = "a";
  bool preparing = false;
  std::int64_t imports = 0;
  std::optional<ContentFailure::Case> error;
  bool pendingSend = false;
};

struct CanSendCase {
  const char* name;
  std::function<void(SendSetup&)> change;
  bool expected;
};

void files(SendSetup& s) {
  s.selections = true;
  s.prepared = true;
  s.draft.clear();
}

class CanSend : public WorkspaceFixture, public ::testing::WithParamInterface<CanSendCase> {};

TEST_P(CanSend, HoldsOnlyWhenEveryConditionDoes) {
  SendSetup setup;
  GetParam().change(setup);
  runtime::RuntimeSnapshot snapshot;
  if (setup.inOutbox) snapshot.outboxPeers = {"a"};
  applyPeers({setup.peer}, snapshot);
  model->setSelectedPeerID("a");
  model->setDraft(setup.draft, "a");
  if (setup.pendingSend) {
    model->send();
    ASSERT_EQ(texts.size(), 1u);
  }
  auto& preparation = current();
  preparation.selections = setup.selections;
  if (setup.prepared) preparation.batch = PreparedAttachments{core::Uuid::random(), nullptr};
  preparation.recipient = setup.recipient;
  preparation.isPreparing = setup.preparing;
  preparation.imports = setup.imports;
  preparation.failure = setup.error;
  EXPECT_EQ(model->canSend(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, CanSend,
    ::testing::Values(
        CanSendCase{"ready", [](SendSetup&) {}, true},
        CanSendCase{"offline", [](SendSetup& s) { s.peer.online = false; }, false},
        CanSendCase{"offlineButQueueable",
                    [](SendSetup& s) {
                      s.peer.online = false;
                      s.inOutbox = true;
                    },
                    true},
        CanSendCase{"blocked", [](SendSetup& s) { s.peer.blocked = true; }, false},
        CanSendCase{"keyChanged", [](SendSetup& s) { s.peer.keyChanged = true; }, false},
        CanSendCase{"historical", [](SendSetup& s) { s.peer.historical = true; }, false},
        CanSendCase{"historicalButQueueable",
                    [](SendSetup& s) {
                      s.peer.historical = true;
                      s.inOutbox = true;
                    },
                    true},
        CanSendCase{"sendInFlight", [](SendSetup& s) { s.pendingSend = true; }, false},
        CanSendCase{"importsPending", [](SendSetup& s) { s.imports = 1; }, false},
        CanSendCase{"emptyDraft", [](SendSetup& s) { s.draft.clear(); }, false},
        CanSendCase{"onlySpaces", [](SendSetup& s) { s.draft = "   "; }, true},
        CanSendCase{"files", files, true},
        CanSendCase{"filesForAnotherPeer",
                    [](SendSetup& s) {
                      files(s);
                      s.recipient = "b";
                    },
                    false},
        CanSendCase{"filesNotPrepared",
                    [](SendSetup& s) {
                      files(s);
                      s.prepared = false;
                    },
                    false},
        CanSendCase{"filesPreparing",
                    [](SendSetup& s) {
                      files(s);
                      s.preparing = true;
                    },
                    false},
        CanSendCase{"filesFailed",
                    [](SendSetup& s) {
                      files(s);
                      s.error = ContentFailure::Case::changed;
                    },
                    false},
        CanSendCase{"filesWithoutSafetyCode",
                    [](SendSetup& s) {
                      files(s);
                      s.peer.safetyCode.reset();
                    },
                    false},
        CanSendCase{"filesWithoutSafetyCodeButQueueable",
                    [](SendSetup& s) {
                      files(s);
                      s.peer.safetyCode.reset();
                      s.inOutbox = true;
                    },
                    true},
        CanSendCase{"historicalQueueableFiles",
                    [](SendSetup& s) {
                      files(s);
                      s.peer.historical = true;
                      s.peer.online = false;
                      s.inOutbox = true;
                    },
                    true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(WorkspaceFixture, NothingCanBeSentWithoutASelectedPeer) {
  model->setDraft("hello", "a");
  EXPECT_FALSE(model->canSend());
  applyPeers({peer("b")});
  model->setSelectedPeerID("a");
  EXPECT_FALSE(model->canSend());
  model->send();
  EXPECT_TRUE(texts.empty());
}

class Sending : public WorkspaceFixture {
 protected:
  Sending() {
    applyPeers({peer("a")});
    model->setSelectedPeerID("a");
  }
};

TEST_F(Sending, TextThePolicyRefusesGoesNowhere) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xff\xfe", "send.invalidText"},
      {std::string(4096, 'x'), "send.tooLarge"},
  };
  for (const auto& [text, key] : cases) {
    model->setDraft(text, "a");
    model->send();
    EXPECT_EQ(model->errorKey(), key);
    EXPECT_TRUE(texts.empty());
    EXPECT_TRUE(model->pendingSends().empty());
    EXPECT_EQ(model->draft("a"), text);
  }
}

TEST_F(Sending, TheDraftEmptiesUnlessItWasEditedMeanwhile) {
  model->setDraft("first", "a");
  model->send();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, "first");
  EXPECT_EQ(texts[0].wireID, "wire-a");
  EXPECT_EQ(texts[0].contactID, "a");
  EXPECT_EQ(model->pendingSends(), (std::set<std::string>{"a"}));
  EXPECT_FALSE(model->canSend());
  texts[0].completion(std::nullopt);
  EXPECT_EQ(model->draft("a"), "");
  EXPECT_TRUE(model->pendingSends().empty());

  model->setDraft("second", "a");
  model->send();
  model->setDraft("second, edited", "a");
  texts[1].completion(std::nullopt);
  EXPECT_EQ(model->draft("a"), "second, edited");
  EXPECT_EQ(model->errorKey(), std::nullopt);
}

class Rejections : public Sending, public ::testing::WithParamInterface<runtime::SendRejection> {};

TEST_P(Rejections, ShowTheirKeyAndKeepTheDraft) {
  model->setDraft("hello", "a");
  model->send();
  texts.at(0).completion(GetParam());
  EXPECT_EQ(model->errorKey(), "send." + std::string(runtime::rawValue(GetParam())));
  EXPECT_EQ(model->draft("a"), "hello");
  EXPECT_TRUE(model->pendingSends().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, Rejections,
    ::testing::Values(runtime::SendRejection::offline, runtime::SendRejection::blocked,
                      runtime::SendRejection::invalidText, runtime::SendRejection::tooLarge,
                      runtime::SendRejection::busy, runtime::SendRejection::unavailable));

TEST_F(Sending, TextFollowsOnlyOnceTheBatchIsAccepted) {
  model->setDraft("with files", "a");
  current().prepare();
  const auto batchID = current().batch->id;
  model->send();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].batch.id, batchID);
  EXPECT_EQ(batches[0].wireID, "wire-a");
  EXPECT_TRUE(texts.empty());

  batches[0].completion(std::nullopt);
  EXPECT_EQ(preparations.back()->sent, (std::vector<core::Uuid>{batchID}));
  EXPECT_FALSE(current().hasSelections());
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, "with files");
  texts[0].completion(std::nullopt);
  EXPECT_EQ(model->draft("a"), "");
}

TEST_F(Sending, ARefusedBatchSendsNoTextAndKeepsTheDraft) {
  model->setDraft("with files", "a");
  current().prepare();
  model->send();
  batches.at(0).completion(ContentFailure::Case::changed);
  EXPECT_TRUE(texts.empty());
  EXPECT_EQ(current().error(), ContentFailure::Case::changed);
  EXPECT_TRUE(current().hasSelections());
  EXPECT_EQ(model->draft("a"), "with files");
  EXPECT_TRUE(model->pendingSends().empty());
  EXPECT_EQ(model->errorKey(), std::nullopt);
}

TEST_F(Sending, FilesWithoutTextEndWhenTheBatchIsAccepted) {
  current().prepare();
  model->send();
  batches.at(0).completion(std::nullopt);
  EXPECT_TRUE(texts.empty());
  EXPECT_TRUE(model->pendingSends().empty());
}

TEST_F(Sending, StoppingTheWaitMakesLateCompletionsChangeNothing) {
  model->setDraft("hello", "a");
  model->send();
  model->stopWaiting();
  EXPECT_TRUE(model->pendingSends().empty());
  EXPECT_EQ(runtime->calls.back(), "cancelReminder wire-a");
  texts.at(0).completion(runtime::SendRejection::offline);
  texts.at(0).completion(std::nullopt);
  EXPECT_EQ(model->errorKey(), std::nullopt);
  EXPECT_EQ(model->draft("a"), "hello");
  EXPECT_TRUE(model->pendingSends().empty());

  current().prepare();
  model->send();
  model->stopWaiting();
  batches.at(0).completion(std::nullopt);
  batches.at(0).completion(ContentFailure::Case::io);
  EXPECT_TRUE(current().sent.empty());
  EXPECT_EQ(current().error(), std::nullopt);
  EXPECT_EQ(texts.size(), 1u);
}

TEST_F(Sending, AClearedConversationResetsTheComposer) {
  int unreadRuns = 0;
  model->unreadChanged = [&] { ++unreadRuns; };
  model->setUnread({{"a", 3}, {"b", 1}});
  model->setDraft("hello", "a");
  current().prepare();
  model->send();
  const auto preparation = preparations.back();

  model->clearSelectedConversation();
  ASSERT_EQ(clears.size(), 1u);
  EXPECT_EQ(clears[0].wireID, "wire-a");
  EXPECT_EQ(clears[0].contactID, "a");
  clears[0].completion(false);
  EXPECT_EQ(model->draft("a"), "hello");
  EXPECT_EQ(model->pendingSends(), (std::set<std::string>{"a"}));

  unreadRuns = 0;
  clears[0].completion(true);
  EXPECT_EQ(model->draft("a"), "");
  EXPECT_EQ(preparation->clearCalls, 1);
  EXPECT_FALSE(preparation->hasSelections());
  EXPECT_TRUE(model->pendingSends().empty());
  EXPECT_EQ(model->unread(), (std::map<std::string, std::int64_t>{{"b", 1}}));
  EXPECT_EQ(unreadRuns, 1);
  // The send that was under way is void now.
  batches.at(0).completion(ContentFailure::Case::io);
  EXPECT_EQ(preparation->error(), std::nullopt);
  EXPECT_TRUE(texts.empty());
}

TEST_F(Sending, CompletionsAfterTheModelIsGoneDoNothing) {
  model->setDraft("hello", "a");
  model->send();
  model->clearSelectedConversation();
  model.reset();
  texts.at(0).completion(std::nullopt);
  clears.at(0).completion(true);
}

class Resending : public WorkspaceFixture {
 protected:
  runtime::RuntimeMessage failed = message("m1", "a", true);
};

TEST_F(Resending, AQueuedMessageIsRetriedFromTheOutbox) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.queuedMessageIDs = {"m1"};
  applyPeers({peer("a")}, snapshot);
  model->resend(failed);
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"resendMessage m1 a"}));
  EXPECT_TRUE(runtime->textCompletions.empty());
}

TEST_F(Resending, AnotherMessageIsSentAgainToTheSelectedPeer) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  runtime->calls.clear();
  model->resend(failed);
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"sendText text of m1 wire-a a"}));
  // No generation, no pending send: only a rejection shows.
  EXPECT_TRUE(model->pendingSends().empty());
  runtime->textCompletions.at(0)(runtime::SendRejection::busy);
  EXPECT_EQ(model->errorKey(), "send.busy");
}

TEST_F(Resending, OtherwiseThePeerCountsAsOffline) {
  auto historical = peer("a");
  historical.historical = true;
  const std::vector<std::pair<std::vector<runtime::RuntimePeer>, std::optional<std::string>>>
      cases = {{{peer("a")}, std::nullopt}, {{peer("b")}, "b"}, {{historical}, "a"}};
  for (const auto& [peers, selection] : cases) {
    model->setErrorKey(std::nullopt);
    applyPeers(peers);
    model->setSelectedPeerID(selection);
    runtime->calls.clear();
    model->resend(failed);
    EXPECT_EQ(model->errorKey(), "send.offline");
    EXPECT_TRUE(runtime->calls.empty());
  }
}

}  // namespace
}  // namespace velmorine::workspace::testing
