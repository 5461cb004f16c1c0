// What the runtime finds of a previous run when it starts: outbox rows cut off while sending,
// records left unsettled, and records or rows it cannot read.

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using store::ConversationOutboxState;
using testing::RuntimeWorld;
using testing::TestRuntime;

const RuntimeMessage* messageIn(const RuntimeSnapshot& snapshot, const std::string& id) {
  for (const auto& message : snapshot.messages) {
    if (message.id == id) return &message;
  }
  return nullptr;
}

const transfer::RuntimeTransfer* transferIn(const RuntimeSnapshot& snapshot,
                                            const std::string& id) {
  for (const auto& transfer : snapshot.transfers) {
    if (transfer.id == id) return &transfer;
  }
  return nullptr;
}

class RuntimeRestart : public ::testing::Test {
 protected:
  // The record as the running runtime's history holds it.
  std::optional<store::ConversationHistoryRecord> record(TestRuntime& runtime,
                                                         const std::string& kind,
                                                         const std::string& peer,
                                                         const std::string& id) {
    return runtime.onQueue(
        [&] { return testing::storedRecord(*runtime->history, kind, peer, id); });
  }
  std::vector<store::ConversationOutboxEntry> rows(TestRuntime& runtime, const std::string& id) {
    return runtime.onQueue([&] { return testing::outboxRows(*runtime->history, id); });
  }

  RuntimeWorld world;
  velmorine::testing::TemporaryFolder folder;
  const std::string contact = testing::newID();
};

TEST_F(RuntimeRestart, AnOutboxRowLeftSendingIsDueAtOnceAsUncertain) {
  const auto message = testing::outgoingMessage(contact, MessageDelivery::sending);
  {
    auto history = testing::openSeedHistory(folder.path());
    const auto row = testing::enqueueSeed(*history, message);
    history->transitionOutboxEntry(row, ConversationOutboxState::sending,
                                   testing::recordOf(message), 1e12);
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();

  const auto after = rows(runtime, message.id);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].state, ConversationOutboxState::uncertain);
  EXPECT_EQ(after[0].retryAfter, 0);
  const auto* shown = messageIn(runtime.latest(), message.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->delivery, MessageDelivery::queued);
  EXPECT_TRUE(runtime.latest().queuedMessageIDs.contains(message.id));
  EXPECT_EQ(runtime.latest().status, "network.paused");
}

struct UnsettledCase {
  const char* name;
  MessageDelivery stored;
  MessageDelivery settled;
};

class RuntimeUnsettledMessage : public RuntimeRestart,
                                public ::testing::WithParamInterface<UnsettledCase> {};

TEST_P(RuntimeUnsettledMessage, WithoutAnOutboxRowSettlesAtStart) {
  auto message = testing::outgoingMessage(contact, GetParam().stored);
  auto seeded = testing::recordOf(message);
  seeded.unsettled = true;
  testing::saveSeedRecords(*testing::openSeedHistory(folder.path()), {seeded});

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();

  message.delivery = GetParam().settled;
  const auto stored = record(runtime, "message", contact, message.id);
  ASSERT_TRUE(stored);
  EXPECT_EQ(decodeRuntimeMessage(stored->payload), message);
  EXPECT_FALSE(stored->unsettled);
  const auto* shown = messageIn(runtime.latest(), message.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(*shown, message);
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, RuntimeUnsettledMessage,
    ::testing::Values(
        UnsettledCase{"Sending", MessageDelivery::sending, MessageDelivery::unconfirmed},
        UnsettledCase{"Queued", MessageDelivery::queued, MessageDelivery::failed},
        UnsettledCase{"Acknowledged", MessageDelivery::acknowledged, MessageDelivery::failed}),
    [](const ::testing::TestParamInfo<UnsettledCase>& row) { return std::string(row.param.name); });

TEST_F(RuntimeRestart, AnUnsettledTransferWithoutAnOutboxRowFailsAsDisconnected) {
  auto transfer = testing::transferOf(contact, transfer::TransferState::transferring);
  testing::saveSeedRecords(*testing::openSeedHistory(folder.path()), {testing::recordOf(transfer)});

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();

  const auto stored = record(runtime, "transfer", contact, transfer.id);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->unsettled);
  const auto settled = transfer::decodeRuntimeTransferPayload(stored->payload);
  EXPECT_EQ(settled.state, transfer::TransferState::failed);
  EXPECT_EQ(settled.error, "transfer.error.disconnected");
  const auto* shown = transferIn(runtime.latest(), transfer.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->state, transfer::TransferState::failed);
}

TEST_F(RuntimeRestart, AQueuedMessageWithItsOutboxRowWaitsForTheOutbox) {
  const auto message = testing::outgoingMessage(contact, MessageDelivery::queued);
  testing::enqueueSeed(*testing::openSeedHistory(folder.path()), message);

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();

  const auto stored = record(runtime, "message", contact, message.id);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->unsettled);
  EXPECT_EQ(decodeRuntimeMessage(stored->payload), message);
  ASSERT_EQ(rows(runtime, message.id).size(), 1u);
  EXPECT_EQ(rows(runtime, message.id)[0].state, ConversationOutboxState::waiting);
  const auto* shown = messageIn(runtime.latest(), message.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->delivery, MessageDelivery::queued);
}

// Records and rows that a crash, a bug or another writer can leave: the runtime reports them,
// leaves them as they are and starts with everything else.
TEST_F(RuntimeRestart, RecordsAndRowsThatDoNotDecodeAreSkippedAndReported) {
  const auto good = testing::outgoingMessage(contact, MessageDelivery::sending);
  store::ConversationHistoryRecord garbled{.kind = "message",
                                           .peer = contact,
                                           .id = testing::newID(),
                                           .payload = {'{', 'x'},
                                           .unsettled = true,
                                           .receiptText = std::nullopt};
  // Decodes, but names another message than its row.
  auto stranger = testing::outgoingMessage(contact, MessageDelivery::sending);
  auto misfiled = testing::recordOf(stranger);
  misfiled.id = testing::newID();
  // Decodes, but names another contact than its row.
  auto elsewhere =
      testing::recordOf(testing::outgoingMessage(testing::newID(), MessageDelivery::queued));
  elsewhere.peer = contact;
  store::ConversationHistoryRecord brokenTransfer{.kind = "transfer",
                                                  .peer = contact,
                                                  .id = testing::newID(),
                                                  .payload = {'[', ']'},
                                                  .unsettled = true,
                                                  .receiptText = std::nullopt};
  store::ConversationHistoryRecord poisonRow{.kind = "message",
                                             .peer = contact,
                                             .id = testing::newID(),
                                             .payload = {'n', 'o'},
                                             .unsettled = true,
                                             .receiptText = std::nullopt};
  {
    auto history = testing::openSeedHistory(folder.path());
    testing::saveSeedRecords(
        *history, {testing::recordOf(good), garbled, misfiled, elsewhere, brokenTransfer});
    history->enqueue(poisonRow, testing::peerKey(), 0, std::nullopt);
    // Left sending by the previous run, like a row whose message was on its way.
    store::ConversationOutboxQuery query;
    query.kind = "message";
    query.id = poisonRow.id;
    history->transitionOutboxEntry(history->pendingOutboxEntries(query).front(),
                                   ConversationOutboxState::sending, poisonRow, 5);
  }

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.paused");
  EXPECT_GE(runtime.diagnosticCount("history.invalidRecord"), 5u);

  // Every bad record is left exactly as it was.
  for (const auto& bad : {garbled, misfiled, elsewhere, brokenTransfer}) {
    const auto stored = record(runtime, bad.kind, bad.peer, bad.id);
    ASSERT_TRUE(stored) << bad.id;
    EXPECT_EQ(stored->payload, bad.payload) << bad.id;
    EXPECT_TRUE(stored->unsettled) << bad.id;
  }
  // The unreadable outbox row became due like any other, and is neither shown nor sent.
  const auto poison = rows(runtime, poisonRow.id);
  ASSERT_EQ(poison.size(), 1u);
  EXPECT_EQ(poison[0].state, ConversationOutboxState::uncertain);
  EXPECT_EQ(poison[0].record.payload, poisonRow.payload);
  EXPECT_FALSE(messageIn(runtime.latest(), poisonRow.id));
  // The good record was settled all the same.
  const auto settled = record(runtime, "message", contact, good.id);
  ASSERT_TRUE(settled);
  EXPECT_EQ(decodeRuntimeMessage(settled->payload).delivery, MessageDelivery::unconfirmed);
  ASSERT_TRUE(messageIn(runtime.latest(), good.id));
  // Networking starts too, and stopping it walks the outbox without tripping over the row.
  runtime->setNetworkEnabled(true);
  ASSERT_TRUE(
      runtime.waitForSnapshot([](const auto& s) { return s.status == "network.searching"; }));
  runtime->setNetworkEnabled(false);
  ASSERT_TRUE(runtime.waitForSnapshot([](const auto& s) { return !s.enabled; }));
  EXPECT_EQ(runtime.latest().status, "network.paused");
}

// Rows written past the history's own checks, as another program could leave them.
TEST_F(RuntimeRestart, RowsBreakingTheValueRulesDoNotStopTheStart) {
  if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the sqlite3 program is not installed (scripts/packages.txt lists it)";
  }
  const auto good = testing::outgoingMessage(contact, MessageDelivery::sending);
  testing::saveSeedRecords(*testing::openSeedHistory(folder.path()), {testing::recordOf(good)});
  const std::string statements =
      "INSERT INTO records(kind,peer,id,payload,unsettled) VALUES"
      "('note','" +
      contact + "','" + testing::newID() +
      "',X'7B7D',1),"
      "('message','not-a-contact','" +
      testing::newID() +
      "',X'7B7D',1),"
      "('message','" +
      contact +
      "','NOT-AN-ID',X'7B7D',1),"
      "('transfer','" +
      contact + "','" + testing::newID() +
      "',X'',1),"
      "('message',NULL,'" +
      testing::newID() + "',X'7B7D',1);";
  const auto file = folder / testing::kHistoryFileName;
  // The NOT NULL of the peer column is loosened first, as another writer's schema might be.
  const std::string command =
      "sqlite3 '" + file.string() +
      "' \"PRAGMA writable_schema=1; UPDATE sqlite_master SET "
      "sql=replace(sql,'peer TEXT NOT NULL','peer TEXT') WHERE name='records';\" && sqlite3 '" +
      file.string() + "' \"" + statements + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.paused");
  const auto* shown = messageIn(runtime.latest(), good.id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->delivery, MessageDelivery::unconfirmed);
  runtime->selectConversation(contact, false);
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.paused");
  EXPECT_TRUE(messageIn(runtime.latest(), good.id));
}

}  // namespace
}  // namespace velmorine::runtime
