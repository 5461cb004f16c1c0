// The durable message outbox as the runtime drives it on hand-moved clocks: acknowledgements that
// expire, the back-off of rows put back, the five-second pump and its reminders, and rows that
// cannot be read.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/late_reminder_client.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"
#include "tests/Velmorine/runtime/scripted_peer.h"

namespace velmorine::runtime {
namespace {

using reminders::testing::LateReminderClient;
using store::ConversationOutboxState;
using testing::RuntimeWorld;
using testing::ScriptedPeer;
using testing::TestRuntime;

class RuntimeOutbox : public ::testing::Test {
 protected:
  double wall() const {
    return std::chrono::duration<double>(world.wallNow().time_since_epoch()).count();
  }
  std::vector<store::ConversationOutboxEntry> rows(TestRuntime& runtime, const std::string& id) {
    return runtime.onQueue([&] { return testing::outboxRows(*runtime->history, id); });
  }
  // Moves both clocks by one second and lets the runtime's tick run.
  void tick(TestRuntime& runtime) {
    world.advance(1);
    runtime.settle();
  }
  // A text the runtime takes; the message's identifier.
  std::string send(TestRuntime& runtime, const std::string& peer, const std::string& text) {
    std::optional<std::optional<SendRejection>> result;
    runtime->sendText(peer, text, std::nullopt, [&](auto rejection) { result = rejection; });
    EXPECT_TRUE(world.main.waitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result.value_or(SendRejection::unavailable), std::nullopt);
    runtime.settle();
    for (const auto& message : runtime.latest().messages) {
      if (message.outgoing && message.text == text) return message.id;
    }
    ADD_FAILURE() << "no message for " << text;
    return "";
  }

  RuntimeWorld world;
};

TEST_F(RuntimeOutbox, AnExpiredAcknowledgementPutsTheRowBackUncertainAndItGoesAgainAfterItsWait) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  ScriptedPeer peer(world, runtime, {.acknowledges = false});
  ASSERT_TRUE(peer.connect());
  const std::string id = send(runtime, peer.id(), "anyone there?");
  ASSERT_TRUE(peer.waitForChats(1));
  ASSERT_EQ(rows(runtime, id).at(0).state, ConversationOutboxState::sending);

  // One second short of the acknowledgement's time nothing moves; at its time the row goes back
  // as uncertain, due after the wait of one attempt.
  const double timeout = VEChatLedger::kDefaultTimeoutMilliseconds / 1000.0;
  world.advance(timeout - 1);
  runtime.settle();
  EXPECT_EQ(rows(runtime, id).at(0).state, ConversationOutboxState::sending);
  tick(runtime);
  const auto row = rows(runtime, id).at(0);
  EXPECT_EQ(row.state, ConversationOutboxState::uncertain);
  EXPECT_EQ(row.retryAfter, wall() + 2);
  EXPECT_EQ(row.attempts, 1);
  ASSERT_EQ(runtime.latest().messages.size(), 1u);
  EXPECT_EQ(runtime.latest().messages[0].delivery, MessageDelivery::queued);

  // The peer keeps durable acknowledgements: once the wait is over, the next pump sends it again.
  peer.setAcknowledges(true);
  while (wall() + 1 < row.retryAfter) {
    tick(runtime);
    EXPECT_EQ(peer.chats().size(), 1u) << "sent again before its wait was over";
  }
  // The row leaves "uncertain" when the pump sends it; the peer reads it off the wire later.
  for (int second = 0; second <= kFiveSecondWork &&
                       rows(runtime, id).at(0).state == ConversationOutboxState::uncertain;
       ++second) {
    tick(runtime);
  }
  ASSERT_TRUE(peer.waitForChats(2)) << "not sent again by the pump after its wait";
  ASSERT_EQ(peer.chats().size(), 2u);
  EXPECT_EQ(peer.chats()[1].message_id, id);
  EXPECT_TRUE(runtime.waitForSnapshot([&](const RuntimeSnapshot& s) {
    return s.messages.size() == 1 && s.messages[0].delivery == MessageDelivery::acknowledged;
  }));
  EXPECT_EQ(rows(runtime, id).at(0).state, ConversationOutboxState::delivered);
}

// How long a row put back after `attempts` sends waits.
struct BackOffCase {
  int64_t attempts;
  double wait;
};

class RuntimeOutboxBackOff : public RuntimeOutbox,
                             public ::testing::WithParamInterface<BackOffCase> {};

TEST_P(RuntimeOutboxBackOff, DoublesUpTo128Seconds) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const std::string contact = testing::newID();
  const auto message = testing::outgoingMessage(contact, MessageDelivery::sending);
  int64_t changed = 0;
  runtime.onQueue([&] {
    auto& history = *runtime->history;
    const auto row = testing::enqueueSeed(history, message);
    history.execute(
        "UPDATE message_outbox SET state=1,attempts=" + std::to_string(GetParam().attempts) +
        " WHERE seq=" + std::to_string(row.sequence));
    changed = history.queryInteger("SELECT total_changes()", {}).value_or(-1);
    runtime->requeueSending(std::nullopt);
    runtime->publishSnapshot();
    // The row and its record move in one write; the snapshot finds nothing more to write.
    changed = history.queryInteger("SELECT total_changes()", {}).value_or(-1) - changed;
  });
  EXPECT_EQ(changed, 2);
  const auto row = rows(runtime, message.id).at(0);
  EXPECT_EQ(row.state, ConversationOutboxState::uncertain);
  EXPECT_EQ(row.retryAfter - wall(), GetParam().wait);
  EXPECT_EQ(row.attempts, GetParam().attempts);
  EXPECT_EQ(decodeRuntimeMessage(row.record.payload).delivery, MessageDelivery::queued);
}

INSTANTIATE_TEST_SUITE_P(Attempts, RuntimeOutboxBackOff,
                         ::testing::Values(BackOffCase{0, 1}, BackOffCase{1, 2}, BackOffCase{2, 4},
                                           BackOffCase{3, 8}, BackOffCase{6, 64},
                                           BackOffCase{7, 128}, BackOffCase{8, 128},
                                           BackOffCase{9, 128}, BackOffCase{40, 128}),
                         [](const ::testing::TestParamInfo<BackOffCase>& row) {
                           return "Attempts" + std::to_string(row.param.attempts);
                         });

// Contacts this device trusts whose devices are away but granted reminders: the pump dials them
// every five seconds and reminds them at most once a minute per message.
class RuntimeOutboxReminders : public RuntimeOutbox {
 protected:
  void SetUp() override {
    testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
      for (const auto& contact : {first, later}) {
        document.trust[contact] = {*core::Uuid::parse(contact), key, false, false};
      }
    });
    for (const auto& contact : {first, later}) {
      client->setReceivedGrant(contact, key,
                               network::ReminderGrant{"route", "bearer", wall() + 3600});
    }
    runtime = std::make_unique<TestRuntime>(
        world, testing::RuntimeOptions().withFolder(folder.path()).withReminders(client));
    ASSERT_TRUE(runtime->startNetworking());
    ASSERT_TRUE(runtime->waitOnQueue([&] {
      return (*runtime)->reminderExpiry.contains(first) &&
             (*runtime)->reminderExpiry.contains(later);
    }));
  }

  // When (seconds after `start`) each message of `contact` was reminded.
  std::vector<double> remindedAt(const std::map<double, std::vector<std::string>>& log,
                                 const std::string& id) {
    std::vector<double> times;
    for (const auto& [time, events] : log) {
      times.insert(times.end(), std::ranges::count(events, id), time);
    }
    return times;
  }

  velmorine::testing::TemporaryFolder folder;
  const std::string first = testing::newID();
  const std::string later = testing::newID();
  const std::vector<uint8_t> key = testing::peerKey(4);
  std::shared_ptr<LateReminderClient> client = std::make_shared<LateReminderClient>(world.clock);
  std::unique_ptr<TestRuntime> runtime;
};

TEST_F(RuntimeOutboxReminders, FirstPumpRemindsAtOnceTheNextNotBeforeAMinute) {
  const std::string early = send(*runtime, first, "wake up");
  EXPECT_TRUE(client->reminders().empty()) << "sending itself reminds nobody";
  std::map<double, std::vector<std::string>> log;
  size_t seen = 0;
  std::string late;
  for (int at = 1; at <= 130; ++at) {
    tick(*runtime);
    // A message queued between two pumps waits for the next one.
    if (at == 2) late = send(*runtime, later, "you too");
    const auto reminders = client->reminders();
    for (; seen < reminders.size(); ++seen) log[at].push_back(reminders[seen].event);
  }
  // The pump runs at the first tick and every five seconds after it.
  EXPECT_EQ(remindedAt(log, early), (std::vector<double>{1, 61, 121}));
  EXPECT_EQ(remindedAt(log, late), (std::vector<double>{6, 66, 126}));
  const auto reminder = client->reminders().front();
  EXPECT_EQ(reminder.contactID, first);
  EXPECT_EQ(reminder.key, key);
  EXPECT_EQ(reminder.kind, "message");
}

TEST_F(RuntimeOutboxReminders, AFailedReminderWaitsItsMinuteAndALateAnswerFindsNoRuntime) {
  send(*runtime, first, "wake up");
  client->setFailure(LateReminderClient::Operation::sendReminder,
                     std::make_exception_ptr(reminders::ReminderFailure::unavailable()));
  tick(*runtime);
  ASSERT_EQ(client->reminders().size(), 1u);
  client->settle();
  // The failure is dropped: no retry before the minute is over, and nothing shown.
  for (int at = 2; at < 61; ++at) tick(*runtime);
  EXPECT_EQ(client->reminders().size(), 1u);
  EXPECT_NE(runtime->latest().status, "storage.unavailable");

  // The next one is answered only once the runtime is gone.
  client->hold(true);
  tick(*runtime);
  ASSERT_EQ(client->reminders().size(), 2u);
  ASSERT_TRUE(runtime->shutdown());
  runtime.reset();
  client->hold(false);
  EXPECT_EQ(client->release(), 1u);
  client->settle();
}

// A row that cannot be read, in each way one can be unreadable.
enum class Poison { undecodablePayload, messageOfAnotherID, unreadableByTheStore };

// Spoils the stored record `sequence` as `poison` says; the row stays where it is.
void spoil(store::ConversationHistory& history, int64_t sequence, Poison poison) {
  const std::string where = " WHERE seq=" + std::to_string(sequence);
  switch (poison) {
    case Poison::undecodablePayload:
      history.execute("UPDATE records SET payload=X'7b22'" + where);
      break;
    case Poison::messageOfAnotherID: {
      const auto other = testing::outgoingMessage(testing::newID(), MessageDelivery::queued);
      std::string hex;
      for (const uint8_t byte : encodeRuntimeMessage(other)) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
      }
      history.execute("UPDATE records SET payload=X'" + hex + "'" + where);
      break;
    }
    case Poison::unreadableByTheStore:
      history.execute("UPDATE records SET id='NOT-AN-IDENTIFIER'" + where);
      break;
  }
}

class RuntimePoisonRow : public RuntimeOutbox, public ::testing::WithParamInterface<Poison> {
 protected:
  // Queues an unreadable message of `contact` and then `next`, both bound to `rowKey`; the
  // unreadable row's sequence.
  int64_t queueBehindPoison(const std::filesystem::path& folder, const std::string& contact,
                            const RuntimeMessage& next, const std::vector<uint8_t>& rowKey) {
    auto history = testing::openSeedHistory(folder);
    auto poison = testing::outgoingMessage(contact, MessageDelivery::queued, "poison");
    poison.peerID = next.peerID;
    const auto row = testing::enqueueSeed(*history, poison, rowKey);
    spoil(*history, row.sequence, GetParam());
    testing::enqueueSeed(*history, next, rowKey);
    return row.sequence;
  }
  // The spoilt row is still stored as it was.
  void expectStillStored(TestRuntime& runtime, int64_t sequence) {
    const auto state = runtime.onQueue([&] {
      return runtime->history->queryInteger("SELECT state FROM message_outbox WHERE seq=?",
                                            {std::to_string(sequence)});
    });
    EXPECT_EQ(state, 0);
  }
  void expectReportedNotBlamed(TestRuntime& runtime) {
    EXPECT_GT(runtime.diagnosticCount("history.invalidRecord"), 0u);
    runtime.onQueue([&] { runtime->publishSnapshot(); });
    runtime.settle();
    EXPECT_NE(runtime.latest().status, "storage.unavailable");
  }

  velmorine::testing::TemporaryFolder folder;
};

TEST_P(RuntimePoisonRow, ThePumpPassesOverItAndRemindsTheRest) {
  const std::string spoilt = testing::newID(), other = testing::newID();
  const auto key = testing::peerKey(4);
  auto behind = testing::outgoingMessage(spoilt, MessageDelivery::queued, "behind");
  auto elsewhere = testing::outgoingMessage(other, MessageDelivery::queued, "elsewhere");
  const int64_t sequence = queueBehindPoison(folder.path(), spoilt, behind, key);
  testing::enqueueSeed(*testing::openSeedHistory(folder.path()), elsewhere, key);
  testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
    for (const auto& contact : {spoilt, other}) {
      document.trust[contact] = {*core::Uuid::parse(contact), key, false, false};
    }
  });
  auto client = std::make_shared<LateReminderClient>(world.clock);
  for (const auto& contact : {spoilt, other}) {
    client->setReceivedGrant(contact, key,
                             network::ReminderGrant{"route", "bearer", wall() + 3600});
  }
  TestRuntime runtime(world,
                      testing::RuntimeOptions().withFolder(folder.path()).withReminders(client));
  ASSERT_TRUE(runtime.startNetworking());
  ASSERT_TRUE(runtime.waitOnQueue([&] { return runtime->reminderExpiry.size() == 2; }));

  tick(runtime);
  std::set<std::string> reminded;
  for (const auto& reminder : client->reminders()) reminded.insert(reminder.event);
  EXPECT_EQ(reminded, (std::set<std::string>{behind.id, elsewhere.id}));
  expectStillStored(runtime, sequence);
  expectReportedNotBlamed(runtime);
}

TEST_P(RuntimePoisonRow, DeliveryAndRequeueingPassOverIt) {
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ScriptedPeer peer(world, runtime, {.acknowledges = false});
  auto behind = testing::outgoingMessage(peer.id(), MessageDelivery::queued, "behind");
  const int64_t sequence = queueBehindPoison(folder.path(), peer.id(), behind, peer.publicKey());
  testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
    document.trust[peer.id()] = {*core::Uuid::parse(peer.id()), peer.publicKey(), false, false};
  });
  ASSERT_TRUE(runtime.startNetworking());

  // The session sends the row behind the spoilt one.
  ASSERT_TRUE(peer.connect());
  ASSERT_TRUE(peer.waitForChats(1));
  EXPECT_EQ(peer.chats()[0].message_id, behind.id);
  EXPECT_EQ(rows(runtime, behind.id).at(0).state, ConversationOutboxState::sending);

  // Its connection drops: the row sent is put back, uncertain.
  peer.drop();
  ASSERT_TRUE(runtime.waitOnQueue([&] { return !runtime->active.contains(peer.id()); }));
  EXPECT_EQ(rows(runtime, behind.id).at(0).state, ConversationOutboxState::uncertain);
  expectStillStored(runtime, sequence);
  expectReportedNotBlamed(runtime);
}

TEST_P(RuntimePoisonRow, PagingPassesOverIt) {
  const std::string contact = testing::newID();
  std::vector<store::ConversationHistoryRecord> records;
  for (int i = 0; i < 150; ++i) {
    records.push_back(testing::recordOf(
        testing::outgoingMessage(contact, MessageDelivery::acknowledged, std::to_string(i))));
  }
  {
    auto history = testing::openSeedHistory(folder.path());
    const auto sequences = testing::saveSeedRecords(*history, records);
    // The oldest record of the newest page: the next page must start below it all the same.
    spoil(*history, sequences.at(records[50].key()), GetParam());
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime->selectConversation(contact, false);
  runtime.settle();
  EXPECT_TRUE(runtime.latest().earlierHistory.contains(contact));
  runtime->selectConversation(contact, true);
  runtime.settle();
  EXPECT_FALSE(runtime.latest().earlierHistory.contains(contact));
  size_t shown = 0;
  for (const auto& message : runtime.latest().messages) shown += message.contactID == contact;
  EXPECT_EQ(shown, 149u);
  expectReportedNotBlamed(runtime);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RuntimePoisonRow,
                         ::testing::Values(Poison::undecodablePayload, Poison::messageOfAnotherID,
                                           Poison::unreadableByTheStore),
                         [](const ::testing::TestParamInfo<Poison>& row) {
                           switch (row.param) {
                             case Poison::undecodablePayload:
                               return "UndecodablePayload";
                             case Poison::messageOfAnotherID:
                               return "MessageOfAnotherID";
                             case Poison::unreadableByTheStore:
                               return "UnreadableByTheStore";
                           }
                           return "";
                         });

}  // namespace
}  // namespace velmorine::runtime
