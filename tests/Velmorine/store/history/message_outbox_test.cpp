#include <cmath>
#include <limits>
#include <random>

#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;
using State = ConversationOutboxState;

class MessageOutbox : public ::testing::Test {
 protected:
  int64_t queueMessage(uint64_t peer, uint64_t id, int64_t epoch = 0) {
    return history.enqueue(message(peer, id, "text", true), key32(static_cast<uint8_t>(peer)),
                           epoch, std::nullopt);
  }

  std::vector<ConversationOutboxEntry> due(ConversationOutboxQuery query = {.kind = "message"}) {
    return history.pendingOutboxEntries(query);
  }

  std::vector<std::string> dueIds(ConversationOutboxQuery query) {
    std::vector<std::string> result;
    for (const auto& entry : due(query)) result.push_back(entry.record.id);
    return result;
  }

  ConversationOutboxEntry only(uint64_t peer, uint64_t id) {
    auto entries =
        due({.kind = "message", .peer = peerText(peer), .id = itemText(id), .allStates = true});
    EXPECT_EQ(entries.size(), 1u);
    return entries.at(0);
  }

  TemporaryFolder folder;
  ConversationHistory history{folder.historyFile()};
};

TEST_F(MessageOutbox, EnqueuedRowIsWaitingAndDueAtOnce) {
  int64_t sequence = history.enqueue(transfer(1, 9, "batch", true), key32(7), 0, bytesOf("source"));
  auto entries = due({.kind = "transfer"});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (ConversationOutboxEntry{.record = transfer(1, 9, "batch", true),
                                                 .sequence = sequence,
                                                 .recipientKey = key32(7),
                                                 .epoch = 0,
                                                 .state = State::waiting,
                                                 .attempts = 0,
                                                 .retryAfter = 0.0}));
  EXPECT_EQ(history.attachmentSource(entries[0]), bytesOf("source"));
  EXPECT_TRUE(due({.kind = "message"}).empty());
}

TEST_F(MessageOutbox, EnqueueRefusesWhatCannotBeQueued) {
  struct Case {
    const char* name;
    ConversationHistoryRecord record;
    std::vector<uint8_t> key;
    std::optional<std::vector<uint8_t>> source;
  };
  for (const Case& c : {
           Case{"message with source", message(1, 1, "t", true), key32(1), bytesOf("s")},
           Case{"transfer without source", transfer(1, 1, "t", true), key32(1), std::nullopt},
           Case{"transfer with empty source", transfer(1, 1, "t", true), key32(1),
                std::vector<uint8_t>{}},
           Case{"settled record", message(1, 1, "t", false), key32(1), std::nullopt},
           Case{"31-byte key", message(1, 1, "t", true), std::vector<uint8_t>(31, 1), std::nullopt},
           Case{"33-byte key", message(1, 1, "t", true), std::vector<uint8_t>(33, 1), std::nullopt},
           Case{"bad record", record("message", "peer", itemText(1), "t", true), key32(1),
                std::nullopt},
       }) {
    EXPECT_TRUE(
        failsWith([&] { history.enqueue(c.record, c.key, 0, c.source); }, Failure::invalidRecord()))
        << c.name;
  }
  EXPECT_TRUE(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.empty());
}

TEST_F(MessageOutbox, IdentifierIsQueuedOnce) {
  int64_t first = queueMessage(1, 1);
  EXPECT_TRUE(failsWith(
      [&] { history.enqueue(message(1, 1, "other text", true), key32(9), 0, std::nullopt); },
      Failure::conflictingReceipt()));
  EXPECT_EQ(only(1, 1).sequence, first);
  EXPECT_EQ(only(1, 1).record.payload, bytesOf("text"));
  // The same identifier under the other kind is another item.
  EXPECT_NO_THROW(history.enqueue(transfer(1, 1, "b", true), key32(1), 0, bytesOf("s")));
}

TEST_F(MessageOutbox, EnqueueUnderAnOutdatedEpochWritesNothing) {
  history.clearConversation(peerText(1));
  EXPECT_TRUE(failsWith([&] { queueMessage(1, 1, 0); }, Failure::staleCallback()));
  EXPECT_TRUE(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.empty());
  EXPECT_NO_THROW(queueMessage(1, 1, 1));
}

TEST_F(MessageOutbox, OldestOnlyGivesEachPeersOldestPendingRow) {
  for (uint64_t id : {1, 2, 3}) queueMessage(1, id);
  for (uint64_t id : {4, 5}) queueMessage(2, id);
  EXPECT_EQ(dueIds({.kind = "message", .oldestOnly = true}),
            (std::vector<std::string>{itemText(1), itemText(4)}));
  EXPECT_EQ(dueIds({.kind = "message", .peer = peerText(1), .oldestOnly = true}),
            (std::vector<std::string>{itemText(1)}));

  ConversationOutboxEntry oldest = only(1, 1);
  history.transitionOutboxEntry(oldest, State::sending, oldest.record, 0);
  // Sending is still pending: the row keeps its place at the head.
  EXPECT_EQ(dueIds({.kind = "message", .peer = peerText(1), .oldestOnly = true}),
            (std::vector<std::string>{itemText(1)}));
  ConversationOutboxEntry sent = only(1, 1);
  history.transitionOutboxEntry(sent, State::delivered, message(1, 1, "text", false), 0);
  EXPECT_EQ(dueIds({.kind = "message", .peer = peerText(1), .oldestOnly = true}),
            (std::vector<std::string>{itemText(2)}));
}

TEST_F(MessageOutbox, DueRowsFilterByAfterPeerIdKindAndState) {
  int64_t first = queueMessage(1, 1);
  queueMessage(1, 2);
  queueMessage(2, 3);
  history.enqueue(transfer(1, 4, "b", true), key32(1), 0, bytesOf("s"));
  ConversationOutboxEntry cancelled = only(1, 2);
  history.transitionOutboxEntry(cancelled, State::cancelled, cancelled.record, 0);

  EXPECT_EQ(dueIds({.kind = "message"}), (std::vector<std::string>{itemText(1), itemText(3)}));
  EXPECT_EQ(dueIds({.kind = "message", .after = first}), (std::vector<std::string>{itemText(3)}));
  EXPECT_EQ(dueIds({.kind = "message", .allStates = true}),
            (std::vector<std::string>{itemText(1), itemText(2), itemText(3)}));
  EXPECT_EQ(dueIds({.kind = "message", .peer = peerText(2)}),
            (std::vector<std::string>{itemText(3)}));
  EXPECT_EQ(dueIds({.kind = "message", .id = itemText(1)}),
            (std::vector<std::string>{itemText(1)}));
  EXPECT_EQ(dueIds({.kind = "transfer"}), (std::vector<std::string>{itemText(4)}));
  EXPECT_EQ(dueIds({.kind = "message", .limit = 1}), (std::vector<std::string>{itemText(1)}));
}

TEST_F(MessageOutbox, QueryArgumentsAreChecked) {
  for (const ConversationOutboxQuery& query : {
           ConversationOutboxQuery{.kind = "message", .limit = 201},
           ConversationOutboxQuery{.kind = "message", .limit = 0},
           ConversationOutboxQuery{.kind = "message", .after = -1},
           ConversationOutboxQuery{.kind = "Message"},
           ConversationOutboxQuery{.kind = "message' OR 1=1 --"},
           ConversationOutboxQuery{.kind = "message",
           .peer = "6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B"},
           ConversationOutboxQuery{.kind = "message", .id = "x"},
       }) {
    EXPECT_TRUE(failsWith([&] { history.pendingOutboxEntries(query); }, Failure::invalidRecord()))
        << query.kind << " " << query.limit << " " << query.after;
  }
  EXPECT_NO_THROW(history.pendingOutboxEntries({.kind = "message", .limit = 200}));
}

TEST_F(MessageOutbox, RowsOfAnotherEpochAreNeverDue) {
  queueMessage(1, 1);
  queueMessage(2, 2);
  // A row whose epoch is not its peer's current one (left by an older writer).
  history.execute(
      "UPDATE message_outbox SET epoch=3 WHERE seq=(SELECT seq FROM records WHERE id='" +
      itemText(2) + "')");
  EXPECT_EQ(dueIds({.kind = "message", .allStates = true}),
            (std::vector<std::string>{itemText(1)}));
  history.clearConversation(peerText(1));
  EXPECT_TRUE(due({.kind = "message", .allStates = true}).empty());
}

// A stored outbox row (message 2 of peer 1, between messages 1 and 3) broken by `sql`.
struct PoisonedOutboxRow {
  const char* name;
  std::string sql;
};

class MessageOutboxPoisonedRow : public MessageOutbox,
                                 public ::testing::WithParamInterface<PoisonedOutboxRow> {};

TEST_P(MessageOutboxPoisonedRow, IsPassedOverNamedAndLeftInPlace) {
  for (uint64_t id = 1; id <= 3; ++id) queueMessage(1, id);
  {
    RawDatabase raw(folder.historyFile());
    // Another writer's file may lack our NOT NULL; loosen it to plant a NULL key.
    raw.exec("PRAGMA writable_schema=1");
    raw.exec(
        "UPDATE sqlite_master SET sql=replace(sql,'recipient_key BLOB NOT NULL','recipient_key "
        "BLOB') WHERE name='message_outbox'");
  }
  RawDatabase raw(folder.historyFile());
  raw.exec(GetParam().sql);
  const std::string before = raw.value(
      "SELECT group_concat(quote(state)||quote(recipient_key)) "
      "FROM message_outbox");

  std::vector<ConversationHistorySkippedRow> skipped;
  auto entries =
      history.pendingOutboxEntries({.kind = "message", .limit = 2, .allStates = true}, &skipped);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].record.id, itemText(1));
  EXPECT_EQ(entries[1].record.id, itemText(3));
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].sequence, 2);
  EXPECT_EQ(skipped[0].kind, "message");
  // The peer's own query passes over it the same way, without a list to report to.
  EXPECT_EQ(dueIds({.kind = "message", .peer = peerText(1), .allStates = true}),
            (std::vector<std::string>{itemText(1), itemText(3)}));
  EXPECT_EQ(raw.value("SELECT group_concat(quote(state)||quote(recipient_key)) "
                      "FROM message_outbox"),
            before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MessageOutboxPoisonedRow,
    ::testing::Values(
        PoisonedOutboxRow{"StateAboveTheEnumeration",
                          "UPDATE message_outbox SET state=6 WHERE seq=2"},
        PoisonedOutboxRow{"NegativeState", "UPDATE message_outbox SET state=-1 WHERE seq=2"},
        PoisonedOutboxRow{"EmptyKey", "UPDATE message_outbox SET recipient_key=X'' WHERE seq=2"},
        PoisonedOutboxRow{"NullKey", "UPDATE message_outbox SET recipient_key=NULL WHERE seq=2"},
        PoisonedOutboxRow{"EmptyPayload", "UPDATE records SET payload=X'' WHERE seq=2"},
        PoisonedOutboxRow{"UpperCaseId", "UPDATE records SET id=upper(id) WHERE seq=2"}),
    [](const auto& param) { return std::string(param.param.name); });

// The allowed moves, row = from (waiting, sending, uncertain, attention, delivered,
// cancelled), column = to in the same order: 'y' allowed, 'a' allowed only after an attempt.
constexpr const char* kMoves[6] = {
    "-yyyay",  // waiting
    "--yyay",  // sending
    "-yyyay",  // uncertain
    "y-yyay",  // attention
    "------",  // delivered
    "------",  // cancelled
};

TEST_F(MessageOutbox, TransitionTable) {
  for (int from = 0; from < 6; ++from) {
    for (int to = 0; to < 6; ++to) {
      for (int64_t attempts : {0, 2}) {
        SCOPED_TRACE(::testing::Message()
                     << "from " << from << " to " << to << " attempts " << attempts);
        TemporaryFolder own;
        ConversationHistory fresh(own.historyFile());
        fresh.enqueue(message(1, 1, "text", true), key32(1), 0, std::nullopt);
        fresh.execute("UPDATE message_outbox SET state=" + std::to_string(from) +
                      ",attempts=" + std::to_string(attempts));
        ConversationOutboxEntry entry =
            fresh.pendingOutboxEntries({.kind = "message", .allStates = true}).at(0);
        ConversationHistoryRecord saved = message(1, 1, "saved", to < 4);

        char rule = kMoves[from][to];
        bool allowed = rule == 'y' || (rule == 'a' && attempts > 0);
        if (!allowed) {
          EXPECT_TRUE(failsWith([&] { fresh.transitionOutboxEntry(entry, State(to), saved, 5.0); },
                                Failure::staleCallback()));
          EXPECT_EQ(fresh.pendingOutboxEntries({.kind = "message", .allStates = true}).at(0),
                    entry);
          continue;
        }
        fresh.transitionOutboxEntry(entry, State(to), saved, 5.0);
        ConversationOutboxEntry after =
            fresh.pendingOutboxEntries({.kind = "message", .allStates = true}).at(0);
        EXPECT_EQ(after.state, State(to));
        EXPECT_EQ(after.attempts, attempts + (to == 1 ? 1 : 0));
        EXPECT_EQ(after.retryAfter, 5.0);
        EXPECT_EQ(after.record, saved);
      }
    }
  }
}

TEST_F(MessageOutbox, SecondMoveFromTheSameReadingIsStale) {
  queueMessage(1, 1);
  ConversationOutboxEntry read = only(1, 1);
  history.transitionOutboxEntry(read, State::sending, read.record, 0);
  EXPECT_TRUE(
      failsWith([&] { history.transitionOutboxEntry(read, State::cancelled, read.record, 0); },
                Failure::staleCallback()));
  EXPECT_EQ(only(1, 1).state, State::sending);
}

TEST_F(MessageOutbox, MovesThatCannotApplyAreStaleAndWriteNothing) {
  queueMessage(1, 1);
  queueMessage(1, 2);
  ConversationOutboxEntry read = only(1, 1);
  struct Case {
    const char* name;
    ConversationOutboxEntry entry;
    ConversationHistoryRecord saved;
    double retryAfter;
  };
  ConversationOutboxEntry otherKey = read;
  otherKey.recipientKey = key32(0xee);
  ConversationOutboxEntry gone = read;
  gone.sequence = 999;
  for (const Case& c : {
           Case{"infinite retry", read, read.record, std::numeric_limits<double>::infinity()},
           Case{"NaN retry", read, read.record, std::nan("")},
           Case{"record of another item", read, message(1, 2, "x", true), 0},
           Case{"record of another peer", read, message(2, 1, "x", true), 0},
           Case{"recipient key changed", otherKey, read.record, 0},
           Case{"row gone", gone, read.record, 0},
       }) {
    EXPECT_TRUE(failsWith(
        [&] { history.transitionOutboxEntry(c.entry, State::sending, c.saved, c.retryAfter); },
        Failure::staleCallback()))
        << c.name;
  }
  EXPECT_EQ(only(1, 1), read);
  EXPECT_EQ(only(1, 2).record.payload, bytesOf("text"));
}

TEST_F(MessageOutbox, MoveAfterTheConversationWasClearedDoesNotReviveIt) {
  queueMessage(1, 1);
  ConversationOutboxEntry read = only(1, 1);
  history.clearConversation(peerText(1));
  EXPECT_TRUE(
      failsWith([&] { history.transitionOutboxEntry(read, State::sending, read.record, 0); },
                Failure::staleCallback()));
  EXPECT_TRUE(history.peers().empty());
}

TEST_F(MessageOutbox, InvalidSavedRecordRollsTheMoveBack) {
  queueMessage(1, 1);
  ConversationOutboxEntry read = only(1, 1);
  ConversationHistoryRecord empty = read.record;
  empty.payload.clear();
  EXPECT_TRUE(failsWith([&] { history.transitionOutboxEntry(read, State::sending, empty, 0); },
                        Failure::invalidRecord()));
  EXPECT_EQ(only(1, 1), read);
}

TEST_F(MessageOutbox, AttachmentSourceBelongsToTransfersOnly) {
  queueMessage(1, 1);
  EXPECT_TRUE(failsWith([&] { history.attachmentSource(only(1, 1)); }, Failure::invalidRecord()));
  ConversationOutboxEntry missing = only(1, 1);
  missing.record.kind = "transfer";
  EXPECT_TRUE(failsWith([&] { history.attachmentSource(missing); }, Failure::invalidRecord()));
}

TEST_F(MessageOutbox, RowsLeftSendingBecomeUncertainAndDueAtStart) {
  queueMessage(1, 1);
  ConversationOutboxEntry read = only(1, 1);
  history.transitionOutboxEntry(read, State::sending, read.record, 64);
  history.execute("UPDATE message_outbox SET state=2,retry_after=0 WHERE state=1");
  ConversationOutboxEntry after = only(1, 1);
  EXPECT_EQ(after.state, State::uncertain);
  EXPECT_EQ(after.retryAfter, 0.0);
  EXPECT_EQ(after.attempts, 1);
}

// The plain form of the due-row query, whose oldest-only test searches every earlier record
// of the peer for each candidate; the history must give exactly its rows.
std::vector<std::string> plainQuerySequences(RawDatabase& raw,
                                             const ConversationOutboxQuery& query) {
  std::string sql =
      "SELECT r.seq FROM message_outbox o JOIN records r ON r.seq=o.seq WHERE r.seq>" +
      std::to_string(query.after) + " AND r.kind='" + query.kind +
      "' AND o.epoch=COALESCE((SELECT generation FROM epochs WHERE peer=r.peer),0)";
  if (!query.allStates) sql += " AND o.state<4";
  if (query.peer) sql += " AND r.peer='" + *query.peer + "'";
  if (query.id) sql += " AND r.id='" + *query.id + "'";
  if (query.oldestOnly) {
    sql +=
        " AND NOT EXISTS(SELECT 1 FROM message_outbox p JOIN records earlier ON earlier.seq=p.seq "
        "WHERE earlier.kind=r.kind AND earlier.peer=r.peer AND p.state<4 AND earlier.seq<r.seq)";
  }
  sql += " ORDER BY r.seq LIMIT " + std::to_string(query.limit);
  std::vector<std::string> sequences;
  for (const auto& row : raw.rows(sql)) sequences.push_back(row.front());
  return sequences;
}

TEST_F(MessageOutbox, DueRowsMatchThePlainQueryForEveryFilter) {
  // Three peers, both kinds, every state, a cleared peer and rows of an outdated epoch.
  std::mt19937 random(7);
  for (uint64_t item = 1; item <= 90; ++item) {
    uint64_t peer = 1 + random() % 3;
    if (random() % 2 == 0) {
      history.enqueue(message(peer, item, "m", true), key32(1), history.epoch(peerText(peer)),
                      std::nullopt);
    } else {
      history.enqueue(transfer(peer, item, "t", true), key32(1), history.epoch(peerText(peer)),
                      bytesOf("s"));
    }
    history.execute("UPDATE message_outbox SET state=" + std::to_string(random() % 6) +
                    " WHERE seq=(SELECT max(seq) FROM message_outbox)");
    if (item == 30) history.clearConversation(peerText(3));
    if (item == 60) history.execute("UPDATE message_outbox SET epoch=epoch+1 WHERE seq%7=0");
  }
  RawDatabase raw(folder.historyFile());
  int compared = 0;
  for (const char* kind : {"message", "transfer"}) {
    for (bool oldestOnly : {false, true}) {
      for (bool allStates : {false, true}) {
        for (int64_t after : {0, 40}) {
          for (int limit : {2, 200}) {
            for (int filter = 0; filter < 4; ++filter) {
              std::optional<std::string> peer, id;
              if (filter & 1) peer = peerText(2);
              if (filter & 2) id = itemText(50);
              ConversationOutboxQuery query{.kind = kind,
                                            .peer = peer,
                                            .id = id,
                                            .oldestOnly = oldestOnly,
                                            .after = after,
                                            .limit = limit,
                                            .allStates = allStates};
              std::vector<std::string> sequences;
              for (const auto& entry : due(query))
                sequences.push_back(std::to_string(entry.sequence));
              EXPECT_EQ(sequences, plainQuerySequences(raw, query))
                  << kind << " oldest " << oldestOnly << " all " << allStates << " after " << after
                  << " limit " << limit << " peer " << peer.value_or("-") << " id "
                  << id.value_or("-");
              compared += sequences.empty() ? 0 : 1;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 40);  // the data gives most filters something to return
}

TEST(ConversationOutboxState, RawValues) {
  for (int64_t raw = -1; raw <= 6; ++raw) {
    auto state = conversationOutboxStateFromRaw(raw);
    EXPECT_EQ(state.has_value(), raw >= 0 && raw <= 5) << raw;
    if (state) {
      EXPECT_EQ(static_cast<int64_t>(*state), raw);
      EXPECT_EQ(isPending(*state), raw < 4);
    }
  }
}

}  // namespace
}  // namespace velmorine::store
