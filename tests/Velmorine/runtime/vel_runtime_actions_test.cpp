// The user's decisions about one message or one peer: resend and cancel by the state of the
// message's row, clearing a conversation, blocking, settling a changed key, verifying, and the
// reminder grants that connected peers hold, also when the history or the store fails.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/late_reminder_client.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using reminders::testing::LateReminderClient;
using store::ConversationOutboxState;
using testing::RuntimeWorld;
using testing::TestRuntime;

const RuntimeMessage* messageIn(const RuntimeSnapshot& snapshot, const std::string& id) {
  for (const auto& message : snapshot.messages) {
    if (message.id == id) return &message;
  }
  return nullptr;
}

// Resend and cancel of a message whose row is in a given state.
struct ActionCase {
  const char* name;
  bool resend;                                   // else cancel
  std::optional<ConversationOutboxState> state;  // none: the row is delivered, so not pending
  bool historyFails = false;
  // The row's state afterwards and the message's delivery shown; none: nothing changed.
  std::optional<ConversationOutboxState> after = std::nullopt;
  std::optional<MessageDelivery> shown = std::nullopt;
};

class RuntimeMessageAction : public ::testing::TestWithParam<ActionCase> {
 protected:
  RuntimeWorld world;
};

TEST_P(RuntimeMessageAction, ActsOnlyWhereTheRowStateAllows) {
  const auto& c = GetParam();
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const std::string contact = testing::newID();
  auto message = testing::outgoingMessage(contact, MessageDelivery::queued);
  runtime.onQueue([&] {
    auto& history = *runtime->history;
    auto row = testing::enqueueSeed(history, message);
    // The moves a row makes on its way to the state.
    std::vector<ConversationOutboxState> path;
    switch (c.state.value_or(ConversationOutboxState::delivered)) {
      case ConversationOutboxState::attention:
        path = {ConversationOutboxState::sending, ConversationOutboxState::uncertain,
                ConversationOutboxState::attention};
        break;
      case ConversationOutboxState::uncertain:
        path = {ConversationOutboxState::sending, ConversationOutboxState::uncertain};
        break;
      case ConversationOutboxState::delivered:
        path = {ConversationOutboxState::sending, ConversationOutboxState::delivered};
        break;
      case ConversationOutboxState::sending:
        path = {ConversationOutboxState::sending};
        break;
      default:
        break;
    }
    for (const auto state : path) {
      history.transitionOutboxEntry(row, state, testing::recordOf(message), 0);
      row = testing::outboxRows(history, message.id).at(0);
    }
    runtime->reconcileOutboxMessages();
    if (!c.state) runtime->messages.push_back(message);
    runtime->publishSnapshot();
    if (c.historyFails) runtime->history->execute("PRAGMA query_only=1");
  });
  runtime.settle();
  const auto before =
      runtime.onQueue([&] { return testing::outboxRows(*runtime->history, message.id); });
  const size_t published = runtime.snapshots.size();
  const auto shownBefore = messageIn(runtime.latest(), message.id)->delivery;
  const auto changes = [&] {
    return runtime.onQueue(
        [&] { return runtime->history->queryInteger("SELECT total_changes()", {}).value_or(-1); });
  };
  const int64_t changedBefore = changes();

  if (c.resend) {
    runtime->resendMessage(contact, message.id);
  } else {
    runtime->cancelMessage(contact, message.id);
  }
  runtime.settle();
  runtime.onQueue([&] { runtime->history->execute("PRAGMA query_only=0"); });

  const auto after =
      runtime.onQueue([&] { return testing::outboxRows(*runtime->history, message.id); });
  ASSERT_EQ(after.size(), 1u);
  if (!c.after) {
    EXPECT_EQ(after, before) << "the row changed";
    if (c.historyFails) {
      EXPECT_EQ(runtime.latest().status, "storage.unavailable");
    } else {
      EXPECT_EQ(runtime.snapshots.size(), published) << "published for nothing";
      EXPECT_EQ(messageIn(runtime.latest(), message.id)->delivery, shownBefore);
    }
    return;
  }
  EXPECT_EQ(after[0].state, *c.after);
  EXPECT_EQ(after[0].retryAfter, 0);
  const auto stored = decodeRuntimeMessage(after[0].record.payload);
  EXPECT_EQ(stored.delivery, *c.shown);
  const auto* shown = messageIn(runtime.latest(), message.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->delivery, *c.shown);
  EXPECT_NE(runtime.latest().status, "storage.unavailable");
  // One write for the new delivery, the outbox row and its record together: the snapshot
  // after it finds its caches in step and writes the record no second time.
  runtime.onQueue([&] { runtime->publishSnapshot(); });
  runtime.settle();
  EXPECT_EQ(changes() - changedBefore, 2);
}

using State = ConversationOutboxState;

INSTANTIATE_TEST_SUITE_P(
    RowStates, RuntimeMessageAction,
    ::testing::Values(ActionCase{.name = "ResendWaiting", .resend = true, .state = State::waiting},
                      ActionCase{.name = "ResendSending", .resend = true, .state = State::sending},
                      ActionCase{
                          .name = "ResendUncertain", .resend = true, .state = State::uncertain},
                      ActionCase{.name = "ResendAttention",
                                 .resend = true,
                                 .state = State::attention,
                                 .historyFails = false,
                                 .after = State::waiting,
                                 .shown = MessageDelivery::queued},
                      ActionCase{.name = "ResendDelivered", .resend = true, .state = std::nullopt},
                      ActionCase{.name = "ResendAttentionHistoryFails",
                                 .resend = true,
                                 .state = State::attention,
                                 .historyFails = true},
                      ActionCase{.name = "CancelWaiting",
                                 .resend = false,
                                 .state = State::waiting,
                                 .historyFails = false,
                                 .after = State::cancelled,
                                 .shown = MessageDelivery::cancelled},
                      ActionCase{.name = "CancelSending",
                                 .resend = false,
                                 .state = State::sending,
                                 .historyFails = false,
                                 .after = State::cancelled,
                                 .shown = MessageDelivery::cancelled},
                      ActionCase{.name = "CancelUncertain",
                                 .resend = false,
                                 .state = State::uncertain,
                                 .historyFails = false,
                                 .after = State::cancelled,
                                 .shown = MessageDelivery::cancelled},
                      ActionCase{.name = "CancelAttention",
                                 .resend = false,
                                 .state = State::attention,
                                 .historyFails = false,
                                 .after = State::cancelled,
                                 .shown = MessageDelivery::cancelled},
                      ActionCase{.name = "CancelDelivered", .resend = false, .state = std::nullopt},
                      ActionCase{.name = "CancelWaitingHistoryFails",
                                 .resend = false,
                                 .state = State::waiting,
                                 .historyFails = true}),
    [](const ::testing::TestParamInfo<ActionCase>& row) { return std::string(row.param.name); });

// Two runtimes joined by a session, each trusting the other.
class RuntimePeerDecisions : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a.startNetworking());
    ASSERT_TRUE(b.startNetworking());
    ASSERT_TRUE(testing::connectPair(world, a, b));
    // The route exchange of the session's start is over: A's client answered about B's grant.
    ASSERT_TRUE(world.main.waitUntil(
        [&] { return std::ranges::count(client->acceptedFrom(), b.id()) > 0; }));
    client->settle();
    a.settle();
  }
  store::StoreDocument document(TestRuntime& runtime) {
    return runtime.onQueue([&] { return runtime->store->document(); });
  }
  size_t audits(TestRuntime& runtime, const std::string& action) {
    const auto all = document(runtime).audit;
    return static_cast<size_t>(
        std::ranges::count_if(all, [&](const auto& entry) { return entry.action == action; }));
  }
  // Publishes and gives the status the interface would show.
  std::string status(TestRuntime& runtime) {
    runtime.onQueue([&] { runtime->publishSnapshot(); });
    runtime.settle();
    return runtime.latest().status;
  }
  bool clear(TestRuntime& runtime, std::optional<std::string> contact, const std::string& peer) {
    std::optional<bool> done;
    runtime->clearConversation(std::move(contact), peer, [&](bool result) { done = result; });
    EXPECT_TRUE(world.main.waitUntil([&] { return done.has_value(); }));
    return done.value_or(false);
  }
  // A message from B that A stored and shows.
  std::string messageFromB() {
    const std::string text = "hi " + testing::newID();
    b->sendText(a.id(), text, std::nullopt);
    std::string id;
    EXPECT_TRUE(a.waitForSnapshot([&](const RuntimeSnapshot& s) {
      for (const auto& message : s.messages) {
        if (message.text == text) id = message.id;
      }
      return !id.empty();
    }));
    return id;
  }

  RuntimeWorld world;
  std::shared_ptr<LateReminderClient> client = std::make_shared<LateReminderClient>(world.clock);
  TestRuntime a{world, testing::RuntimeOptions().withReminders(client)};
  TestRuntime b{world};
};

TEST_F(RuntimePeerDecisions, ClearingRemovesTheConversationAndClosesItsSessions) {
  const std::string received = messageFromB();
  const auto epoch = a.onQueue([&] { return a->history->epoch(b.id()); });
  EXPECT_TRUE(clear(a, std::nullopt, b.id()));
  EXPECT_FALSE(messageIn(a.latest(), received));
  EXPECT_GT(a.onQueue([&] { return a->history->epoch(b.id()); }), epoch);
  EXPECT_TRUE(a.onQueue([&] {
                 return a->history->loadRecords(b.id(), std::nullopt, 200, false);
               }).records.empty());
  const std::string marker = ":" + b.id() + ":";
  EXPECT_TRUE(a.onQueue([&] {
    return std::ranges::none_of(a->savedHistory,
                                [&](const auto& e) { return e.first.contains(marker); }) &&
           std::ranges::none_of(a->historyOrder,
                                [&](const auto& e) { return e.first.contains(marker); }) &&
           !a->historyPeers.contains(b.id());
  }));
  EXPECT_TRUE(b.waitForDiagnostic("control.closed"));
  EXPECT_FALSE(a.onQueue([&] { return a->active.contains(b.id()); }));
}

TEST_F(RuntimePeerDecisions, ClearingAnotherContactOfTheDeviceLeavesItsSessions) {
  const std::string received = messageFromB();
  // A contact the device was filed under before, not the one it is now.
  EXPECT_TRUE(clear(a, testing::newID(), b.id()));
  EXPECT_TRUE(messageIn(a.latest(), received));
  EXPECT_TRUE(a.onQueue([&] { return a->active.contains(b.id()); }));
  EXPECT_EQ(b.diagnosticCount("control.closed"), 0u);
}

// A clear that cannot reach the history answers false and leaves everything live in place.
class RuntimeFailedClear : public RuntimePeerDecisions,
                           public ::testing::WithParamInterface<bool> {};

TEST_P(RuntimeFailedClear, AnswersFalseAndKeepsTheConversation) {
  const bool closed = GetParam();
  const std::string received = messageFromB();
  std::shared_ptr<store::ConversationHistory> kept;
  a.onQueue([&] {
    if (closed) {
      kept = std::move(a->history);
    } else {
      a->history->execute("PRAGMA query_only=1");
    }
  });
  EXPECT_FALSE(clear(a, std::nullopt, b.id()));
  EXPECT_EQ(a.latest().status, "storage.unavailable");
  EXPECT_TRUE(messageIn(a.latest(), received));
  EXPECT_TRUE(a.onQueue([&] { return a->active.contains(b.id()); }));
  a.onQueue([&] {
    if (closed) {
      a->history = std::move(kept);
    } else {
      a->history->execute("PRAGMA query_only=0");
    }
  });
  EXPECT_FALSE(a.onQueue([&] {
                  return a->history->loadRecords(b.id(), std::nullopt, 200, false);
                }).records.empty());
}

INSTANTIATE_TEST_SUITE_P(History, RuntimeFailedClear, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "Closed" : "Failing";
                         });

TEST_F(RuntimePeerDecisions, BlockingTwiceWritesOneAuditEntryAndClosesTheSessions) {
  a->setPeerBlocked(b.id(), true);
  a->setPeerBlocked(b.id(), true);
  a.settle();
  EXPECT_EQ(audits(a, "block"), 1u);
  EXPECT_TRUE(document(a).trust.at(b.id()).blocked);
  EXPECT_TRUE(b.waitForDiagnostic("control.closed"));
  EXPECT_TRUE(world.main.waitUntil([&] {
    const auto revoked = client->revokedContacts();
    return std::ranges::count(revoked, b.id()) >= 1;
  }));

  a->setPeerBlocked(b.id(), false);
  a->setPeerBlocked(b.id(), false);
  a.settle();
  EXPECT_EQ(audits(a, "unblock"), 1u);
  EXPECT_FALSE(document(a).trust.at(b.id()).blocked);
  EXPECT_NE(status(a), "storage.unavailable");
}

TEST_F(RuntimePeerDecisions, UnblockingADeviceNeverTrustedWritesNothing) {
  const size_t before = document(a).audit.size();
  a->setPeerBlocked(testing::newID(), false);
  a.settle();
  EXPECT_EQ(document(a).audit.size(), before);
  EXPECT_NE(status(a), "storage.unavailable");
}

TEST_F(RuntimePeerDecisions, VerifyingMarksTheConnectedPeerAndNothingElse) {
  const std::string stranger = testing::newID();
  a->verifyPeer(stranger);
  a.settle();
  EXPECT_FALSE(document(a).trust.contains(stranger));
  a->verifyPeer(b.id());
  a.settle();
  EXPECT_TRUE(document(a).trust.at(b.id()).manuallyVerified);
  EXPECT_EQ(audits(a, "manually-verified"), 1u);
  EXPECT_TRUE(a.peer(b.id())->verified);
}

// A changed key waits for the user's decision; each decision with the store working or not.
struct KeyCase {
  const char* name;
  bool keepSeparate;
  bool storeFails;
};

class RuntimeKeyDecision : public RuntimePeerDecisions,
                           public ::testing::WithParamInterface<KeyCase> {};

TEST_P(RuntimeKeyDecision, SettlesTheConflictOrKeepsIt) {
  const auto& c = GetParam();
  const auto oldKey = document(a).trust.at(b.id()).publicKey;
  const auto newKey = testing::peerKey(3);
  a.onQueue([&] { a->conflicts[b.id()] = newKey; });
  {
    std::optional<testing::BrokenStoreWrites> broken;
    if (c.storeFails) broken.emplace(a.folder());
    a->resolveChangedKey(b.id(), c.keepSeparate);
    a.settle();
    if (c.storeFails) {
      EXPECT_EQ(status(a), "storage.unavailable");
      EXPECT_TRUE(a.onQueue([&] { return a->conflicts.contains(b.id()); }));
      EXPECT_EQ(document(a).trust.at(b.id()).publicKey, oldKey);
      return;
    }
  }
  EXPECT_FALSE(a.onQueue([&] { return a->conflicts.contains(b.id()); }));
  const auto trust = document(a).trust;
  if (c.keepSeparate) {
    const auto separate = *VEProtocol::separateContactWithClaimedID(b.id(), newKey);
    EXPECT_EQ(trust.at(b.id()).publicKey, oldKey);
    EXPECT_EQ(trust.at(separate).publicKey, newKey);
    EXPECT_EQ(audits(a, "separate-contact"), 1u);
  } else {
    EXPECT_EQ(trust.at(b.id()).publicKey, newKey);
    EXPECT_EQ(audits(a, "replace-trust"), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Decisions, RuntimeKeyDecision,
                         ::testing::Values(KeyCase{"Replace", false, false},
                                           KeyCase{"KeepSeparate", true, false},
                                           KeyCase{"ReplaceStoreFails", false, true},
                                           KeyCase{"KeepSeparateStoreFails", true, true}),
                         [](const ::testing::TestParamInfo<KeyCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimePeerDecisions, ResolvingWithoutAConflictDoesNothingAndPublishesNothing) {
  a.settle();
  const size_t published = a.snapshots.size();
  const size_t audit = document(a).audit.size();
  a->resolveChangedKey(b.id(), false);
  a.settle();
  EXPECT_EQ(a.snapshots.size(), published);
  EXPECT_EQ(document(a).audit.size(), audit);
}

// Decisions that write the trust records, with the store refusing every write.
class RuntimeDecisionStoreFails
    : public RuntimePeerDecisions,
      public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(RuntimeDecisionStoreFails, ShowsTheStorageAndChangesNothing) {
  const bool block = GetParam().second;
  const auto before = document(a);
  {
    testing::BrokenStoreWrites broken(a.folder());
    if (block) {
      a->setPeerBlocked(b.id(), true);
    } else {
      a->verifyPeer(b.id());
    }
    a.settle();
    EXPECT_EQ(a.latest().status, "storage.unavailable");
  }
  EXPECT_EQ(document(a).trust, before.trust);
  EXPECT_EQ(document(a).audit.size(), before.audit.size());
  // A failed block does not go on to close the peer's sessions.
  EXPECT_TRUE(a.onQueue([&] { return a->active.contains(b.id()); }));
}

INSTANTIATE_TEST_SUITE_P(Decisions, RuntimeDecisionStoreFails,
                         ::testing::Values(std::pair{"Block", true}, std::pair{"Verify", false}),
                         [](const auto& row) { return std::string(row.param.first); });

// What becomes of a grant that the reminder service names late, after what it was asked for
// may have changed.
struct GrantCase {
  const char* name;
  enum class Change { none, networkStopped, blocked, keyReplaced, noGrant, answerFails } change;
  bool recorded;  // the expiry holds the grant afterwards
};

class RuntimeConfiguredGrant : public RuntimePeerDecisions,
                               public ::testing::WithParamInterface<GrantCase> {};

TEST_P(RuntimeConfiguredGrant, IsRecordedOnlyForTheSamePeerAndNetwork) {
  using Change = GrantCase::Change;
  const auto& c = GetParam();
  const double expires =
      std::chrono::duration<double>(world.wallNow().time_since_epoch()).count() + 3600;
  const auto key = document(a).trust.at(b.id()).publicKey;
  if (c.change != Change::noGrant) {
    client->setReceivedGrant(b.id(), key, network::ReminderGrant{"route", "bearer", expires});
  }
  if (c.change == Change::answerFails) {
    client->setFailure(LateReminderClient::Operation::receivedGrant,
                       std::make_exception_ptr(reminders::ReminderFailure::unavailable()));
  }
  // An earlier expiry that an answer without a grant takes away.
  a.onQueue([&] { a->reminderExpiry[b.id()] = expires - 1; });
  ASSERT_TRUE(a.onQueue([&] {
    return std::ranges::any_of(a->sessions, [](const auto& entry) {
      return entry.second->reminderNegotiated() && entry.second->peer();
    });
  }));
  client->hold(true);
  const size_t asked = client->grantRequests().size();
  a->configureReminders();
  a.settle();

  switch (c.change) {
    case Change::networkStopped:
      a->setNetworkEnabled(false);
      a.onQueue([&] { a->reminderExpiry[b.id()] = expires - 1; });
      break;
    case Change::blocked:
      a->setPeerBlocked(b.id(), true);
      break;
    case Change::keyReplaced:
      a.onQueue([&] {
        a->store->update(
            [&](store::StoreDocument& d) { d.trust.at(b.id()).publicKey = testing::peerKey(2); });
      });
      break;
    default:
      break;
  }
  a.settle();
  // The configure answer, then the grant question it leads to and its answer.
  client->hold(false);
  ASSERT_TRUE(world.main.waitUntil([&] {
    client->release();
    client->settle();
    return client->grantRequests().size() > asked && client->heldAnswers() == 0;
  }));
  client->settle();
  a.settle();
  EXPECT_EQ(client->grantRequests().at(asked), std::make_pair(b.id(), key))
      << "asked by the peer's device";
  const auto expiry = a.onQueue([&] {
    const auto found = a->reminderExpiry.find(b.id());
    return found == a->reminderExpiry.end() ? std::nullopt : std::optional(found->second);
  });
  if (c.recorded) {
    EXPECT_EQ(expiry, expires);
  } else if (c.change == Change::noGrant || c.change == Change::answerFails) {
    EXPECT_EQ(expiry, std::nullopt);
  } else {
    EXPECT_NE(expiry, expires) << "recorded although what it was asked for changed";
  }
}

using Change = GrantCase::Change;

INSTANTIATE_TEST_SUITE_P(
    Changes, RuntimeConfiguredGrant,
    ::testing::Values(GrantCase{"Unchanged", Change::none, true},
                      GrantCase{"NetworkStopped", Change::networkStopped, false},
                      GrantCase{"PeerBlocked", Change::blocked, false},
                      GrantCase{"KeyReplaced", Change::keyReplaced, false},
                      GrantCase{"NoGrant", Change::noGrant, false},
                      GrantCase{"AnswerFails", Change::answerFails, false}),
    [](const ::testing::TestParamInfo<GrantCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace velmorine::runtime
