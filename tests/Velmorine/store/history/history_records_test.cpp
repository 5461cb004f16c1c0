#include <limits>

#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;

class HistoryRecords : public ::testing::Test {
 protected:
  // Saves records in one immediate transaction, as the runtime does.
  ConversationSequences save(const std::vector<ConversationHistoryRecord>& records,
                             const std::unordered_map<std::string, int64_t>& epochs = {}) {
    history.execute("BEGIN IMMEDIATE");
    try {
      ConversationSequences sequences = history.saveRecords(records, epochs);
      history.execute("COMMIT");
      return sequences;
    } catch (...) {
      history.execute("ROLLBACK");
      throw;
    }
  }

  int64_t clear(uint64_t peer) {
    history.execute("BEGIN IMMEDIATE");
    int64_t epoch = history.clearConversation(peerText(peer));
    history.execute("COMMIT");
    return epoch;
  }

  std::vector<std::string> ids(const ConversationHistoryPage& page) {
    std::vector<std::string> result;
    for (const auto& item : page.records) result.push_back(item.id);
    return result;
  }

  TemporaryFolder folder;
  ConversationHistory history{folder.historyFile()};
};

TEST_F(HistoryRecords, SavingAnExistingRecordChangesOnlyPayloadAndFlag) {
  ConversationHistoryRecord received = message(1, 1, "first", true);
  received.receiptText = "receipt one";
  int64_t sequence = history.upsertRecord(received);
  save({message(2, 2)});

  ConversationHistoryRecord changed = message(1, 1, "second", false);
  changed.receiptText = "another receipt";
  ConversationSequences sequences = save({changed});
  EXPECT_EQ(sequences.at(changed.key()), sequence);

  ConversationHistoryPage page = history.loadRecords(peerText(1), std::nullopt, 10, false);
  ASSERT_EQ(page.records.size(), 1u);
  EXPECT_EQ(page.records[0], message(1, 1, "second", false));
  EXPECT_EQ(page.sequences.at(changed.key()), sequence);
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT receipt FROM records WHERE seq=" + std::to_string(sequence)),
            "receipt one");
}

TEST_F(HistoryRecords, ReceiptTextOfAnInsertIsStoredAndMustNotBeEmpty) {
  ConversationHistoryRecord empty = message(1, 1);
  empty.receiptText = "";
  EXPECT_TRUE(failsWith([&] { history.upsertRecord(empty); }, Failure::invalidRecord()));
  history.upsertRecord(message(1, 1));
  EXPECT_NO_THROW(history.upsertRecord(empty));  // an update writes no receipt
}

TEST_F(HistoryRecords, SavedBatchGivesSequencesByKeyInOrder) {
  ConversationSequences sequences =
      save({message(1, 1), transfer(1, 1), message(2, 1), message(1, 1, "again")});
  ASSERT_EQ(sequences.size(), 3u);
  EXPECT_LT(sequences.at(message(1, 1).key()), sequences.at(transfer(1, 1).key()));
  EXPECT_LT(sequences.at(transfer(1, 1).key()), sequences.at(message(2, 1).key()));
  EXPECT_EQ(message(1, 1).key(), "message:" + peerText(1) + ":" + itemText(1));
}

TEST_F(HistoryRecords, EpochRule) {
  struct Case {
    int clearings;
    int64_t expected;
    bool stale;
  };
  for (const Case& c : {Case{0, 0, false}, Case{0, 1, true}, Case{1, 1, false}, Case{1, 0, true},
                        Case{2, 1, true}, Case{2, 2, false}}) {
    SCOPED_TRACE(::testing::Message() << c.clearings << " clearings, expected " << c.expected);
    TemporaryFolder own;
    ConversationHistory fresh(own.historyFile());
    for (int index = 0; index < c.clearings; ++index) fresh.clearConversation(peerText(1));
    EXPECT_EQ(fresh.epoch(peerText(1)), c.clearings);
    auto saveOne = [&] { fresh.saveRecords({message(1, 1)}, {{peerText(1), c.expected}}); };
    if (c.stale) {
      EXPECT_TRUE(failsWith(saveOne, Failure::staleCallback()));
    } else {
      EXPECT_NO_THROW(saveOne());
    }
  }
}

TEST_F(HistoryRecords, StaleRecordInABatchLosesTheWholeBatchToTheRollback) {
  clear(2);
  EXPECT_TRUE(failsWith(
      [&] {
        save({message(1, 1), message(2, 2), message(1, 3)}, {{peerText(2), 0}});
      },
      Failure::staleCallback()));
  EXPECT_TRUE(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.empty());
  // Peers missing from the map are not checked.
  EXPECT_NO_THROW(save({message(2, 2)}, {{peerText(1), 0}}));
}

TEST_F(HistoryRecords, EpochMapWithABadPeerIsRefused) {
  ConversationHistoryRecord upper =
      record("message", "6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B", itemText(1));
  EXPECT_TRUE(failsWith([&] { save({upper}, {{upper.peer, 0}}); }, Failure::invalidRecord()));
}

TEST_F(HistoryRecords, PageArgumentsAreChecked) {
  struct Case {
    const char* name;
    std::optional<std::string> peer;
    std::optional<int64_t> before;
    int limit;
  };
  for (const Case& c :
       {Case{"limit 0", std::nullopt, std::nullopt, 0},
        Case{"limit 201", std::nullopt, std::nullopt, 201}, Case{"before 0", std::nullopt, 0, 10},
        Case{"negative before", std::nullopt, -5, 10},
        Case{"upper-case peer", "6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B", std::nullopt, 10}}) {
    EXPECT_TRUE(failsWith([&] { history.loadRecords(c.peer, c.before, c.limit, false); },
                          Failure::invalidRecord()))
        << c.name;
  }
  EXPECT_NO_THROW(history.loadRecords(std::nullopt, 1, 200, false));
}

TEST_F(HistoryRecords, PagesWalkFromTheNewestToTheOldestEnd) {
  save({message(1, 1), message(2, 50), message(1, 2), message(1, 3)});
  ConversationHistoryPage newest = history.loadRecords(peerText(1), std::nullopt, 2, false);
  EXPECT_EQ(ids(newest), (std::vector<std::string>{itemText(2), itemText(3)}));
  EXPECT_TRUE(newest.hasMore);
  EXPECT_EQ(newest.oldestSequence, newest.sequences.at(message(1, 2).key()));

  ConversationHistoryPage oldest =
      history.loadRecords(peerText(1), newest.oldestSequence, 2, false);
  EXPECT_EQ(ids(oldest), (std::vector<std::string>{itemText(1)}));
  EXPECT_FALSE(oldest.hasMore);

  ConversationHistoryPage beyond =
      history.loadRecords(peerText(1), oldest.oldestSequence, 2, false);
  EXPECT_TRUE(beyond.records.empty());
  EXPECT_TRUE(beyond.sequences.empty());
  EXPECT_EQ(beyond.oldestSequence, std::nullopt);
  EXPECT_FALSE(beyond.hasMore);
}

TEST_F(HistoryRecords, PageThatEndsExactlyAtTheOldestRecordHasNoMore) {
  save({message(1, 1), message(1, 2)});
  ConversationHistoryPage page = history.loadRecords(peerText(1), std::nullopt, 2, false);
  EXPECT_EQ(page.records.size(), 2u);
  EXPECT_FALSE(page.hasMore);
}

TEST_F(HistoryRecords, PagesCoverEveryRecordOnceAcrossInterleavedPeers) {
  std::vector<ConversationHistoryRecord> records;
  for (uint64_t index = 0; index < 257; ++index) records.push_back(message(1 + index % 3, index));
  save(records);
  for (std::optional<std::string> peer :
       {std::optional<std::string>(), std::optional(peerText(2))}) {
    std::vector<std::string> seen;
    std::optional<int64_t> before;
    for (;;) {
      ConversationHistoryPage page = history.loadRecords(peer, before, 7, false);
      std::vector<std::string> pageIds = ids(page);
      seen.insert(seen.begin(), pageIds.begin(), pageIds.end());
      if (!page.hasMore) break;
      before = page.oldestSequence;
    }
    std::vector<std::string> expected;
    for (const auto& item : records) {
      if (!peer || item.peer == *peer) expected.push_back(item.id);
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST_F(HistoryRecords, UnsettledPageSpansAllPeersNewestFirstInAscendingOrder) {
  save({message(1, 1, "a", true), message(2, 2, "b", false), transfer(3, 3, "c", true),
        message(2, 4, "d", true), message(1, 5, "e", false)});
  ConversationHistoryPage page = history.loadRecords(std::nullopt, std::nullopt, 2, true);
  EXPECT_EQ(ids(page), (std::vector<std::string>{itemText(3), itemText(4)}));
  EXPECT_TRUE(page.hasMore);
  for (const auto& item : page.records) EXPECT_TRUE(item.unsettled);
}

TEST_F(HistoryRecords, PeersAreListedOnceInTextOrder) {
  save({message(3, 1), message(1, 2), transfer(3, 3), message(2, 4)});
  EXPECT_EQ(history.peers(), (std::vector<std::string>{peerText(1), peerText(2), peerText(3)}));
}

TEST_F(HistoryRecords, PeersLeaveOutValuesThatBreakTheRulesWhereverTheySort) {
  save({message(1, 1), message(2, 2), message(3, 3), message(1, 4), message(2, 5), message(3, 6),
        message(3, 7)});
  {
    RawDatabase raw(folder.historyFile());
    raw.exec("PRAGMA writable_schema=1");
    raw.exec(
        "UPDATE sqlite_master SET sql=replace(sql,'peer TEXT NOT NULL','peer TEXT') "
        "WHERE name='records'");
  }
  // Before, between and after the good peers in the index's order: text, NULL and a blob.
  RawDatabase raw(folder.historyFile());
  raw.exec("UPDATE records SET peer=upper(peer) WHERE seq=4");
  raw.exec("UPDATE records SET peer=NULL WHERE seq=5");
  raw.exec("UPDATE records SET peer=X'ff00' WHERE seq=6");
  raw.exec("UPDATE records SET peer='" + peerText(2) + "-not' WHERE seq=7");
  EXPECT_EQ(history.peers(), (std::vector<std::string>{peerText(1), peerText(2), peerText(3)}));
}

// A stored row of peer 1 broken by `sql` (run on record 3 of records 1 to 5) and what a page
// reports of it.
struct PoisonedRow {
  const char* name;
  std::string sql;
  ConversationHistorySkippedRow reported;
};

class HistoryPoisonedRow : public ::testing::TestWithParam<PoisonedRow> {
 protected:
  void SetUp() override {
    for (uint64_t id = 1; id <= 5; ++id) history.upsertRecord(message(1, id));
    RawDatabase raw(folder.historyFile());
    // Another writer's file may lack our NOT NULLs; loosen them to plant NULLs.
    raw.exec("PRAGMA writable_schema=1");
    raw.exec(
        "UPDATE sqlite_master SET sql=replace(replace(replace(replace(sql,'kind TEXT NOT "
        "NULL','kind TEXT'),'peer TEXT NOT NULL','peer TEXT'),'id TEXT NOT NULL','id TEXT'),"
        "'payload BLOB NOT NULL','payload BLOB') WHERE name='records'");
  }

  TemporaryFolder folder;
  ConversationHistory history{folder.historyFile()};
};

TEST_P(HistoryPoisonedRow, IsSkippedReportedOnceAndLeftInPlace) {
  RawDatabase(folder.historyFile()).exec(GetParam().sql + " WHERE id='" + itemText(3) + "'");
  for (std::optional<std::string> peer :
       {std::optional<std::string>(), std::optional(peerText(1))}) {
    std::vector<std::string> seen;
    std::vector<ConversationHistorySkippedRow> skipped;
    std::optional<int64_t> before;
    for (int pages = 0; pages < 10; ++pages) {
      ConversationHistoryPage page = history.loadRecords(peer, before, 2, false);
      for (auto it = page.records.rbegin(); it != page.records.rend(); ++it) {
        seen.push_back(it->id);
      }
      skipped.insert(skipped.end(), page.skipped.begin(), page.skipped.end());
      EXPECT_EQ(page.sequences.size(), page.records.size());
      if (!page.hasMore) break;
      before = page.oldestSequence;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{itemText(5), itemText(4), itemText(2), itemText(1)}));
    EXPECT_EQ(skipped, std::vector<ConversationHistorySkippedRow>{GetParam().reported});
  }
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT count(*) FROM records"), "5");
}

ConversationHistorySkippedRow reportedRow(std::string kind, std::string peer, std::string id) {
  return ConversationHistorySkippedRow{
      .sequence = 3, .kind = std::move(kind), .peer = std::move(peer), .id = std::move(id)};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HistoryPoisonedRow,
    ::testing::Values(
        PoisonedRow{"EmptyPayload", "UPDATE records SET payload=X''",
                    reportedRow("message", peerText(1), itemText(3))},
        PoisonedRow{"NullPayload", "UPDATE records SET payload=NULL",
                    reportedRow("message", peerText(1), itemText(3))},
        PoisonedRow{"PayloadOverTheLimit", "UPDATE records SET payload=zeroblob(33554433)",
                    reportedRow("message", peerText(1), itemText(3))},
        PoisonedRow{"UnknownKind", "UPDATE records SET kind='note'",
                    reportedRow("note", peerText(1), itemText(3))},
        PoisonedRow{"EmptyKind", "UPDATE records SET kind=''",
                    reportedRow("", peerText(1), itemText(3))},
        PoisonedRow{"NullKind", "UPDATE records SET kind=NULL",
                    reportedRow("", peerText(1), itemText(3))},
        PoisonedRow{"UpperCaseId", "UPDATE records SET id=upper(id)",
                    reportedRow("message", peerText(1), "17E40000-0000-4000-8000-000000000003")},
        PoisonedRow{"EmptyId", "UPDATE records SET id=''", reportedRow("message", peerText(1), "")},
        PoisonedRow{"NullId", "UPDATE records SET id=NULL",
                    reportedRow("message", peerText(1), "")}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(HistoryRecords, RowOfAPeerThatBreaksTheRulesIsSkippedInEveryPeersPage) {
  save({message(1, 1), message(2, 2)});
  {
    RawDatabase raw(folder.historyFile());
    raw.exec("PRAGMA writable_schema=1");
    raw.exec(
        "UPDATE sqlite_master SET sql=replace(sql,'peer TEXT NOT NULL','peer TEXT') "
        "WHERE name='records'");
  }
  RawDatabase(folder.historyFile())
      .exec("UPDATE records SET peer=NULL WHERE id='" + itemText(2) + "'");
  ConversationHistoryPage page = history.loadRecords(std::nullopt, std::nullopt, 10, false);
  EXPECT_EQ(ids(page), std::vector<std::string>{itemText(1)});
  ASSERT_EQ(page.skipped.size(), 1u);
  EXPECT_EQ(page.skipped[0].peer, "");
  EXPECT_EQ(page.skipped[0].id, itemText(2));
}

TEST_F(HistoryRecords, PageOfOnlySkippedRowsStillMovesTheCursorAndEnds) {
  save({message(1, 1), message(1, 2), message(1, 3)});
  RawDatabase(folder.historyFile()).exec("UPDATE records SET kind='note' WHERE seq<3");
  ConversationHistoryPage newest = history.loadRecords(peerText(1), std::nullopt, 1, false);
  EXPECT_EQ(ids(newest), std::vector<std::string>{itemText(3)});
  EXPECT_TRUE(newest.hasMore);
  EXPECT_TRUE(newest.skipped.empty());
  ConversationHistoryPage rest = history.loadRecords(peerText(1), newest.oldestSequence, 1, false);
  EXPECT_TRUE(rest.records.empty());
  EXPECT_EQ(rest.skipped.size(), 2u);
  EXPECT_EQ(rest.oldestSequence, 1);
  EXPECT_FALSE(rest.hasMore);
}

TEST_F(HistoryRecords, SkippedRowsDoNotTakeARecordsPlaceInAPage) {
  save({message(1, 1), message(1, 2), message(1, 3), message(1, 4)});
  RawDatabase(folder.historyFile()).exec("UPDATE records SET payload=X'' WHERE seq=3");
  ConversationHistoryPage page = history.loadRecords(peerText(1), std::nullopt, 2, false);
  EXPECT_EQ(ids(page), (std::vector<std::string>{itemText(2), itemText(4)}));
  EXPECT_TRUE(page.hasMore);
  EXPECT_EQ(page.oldestSequence, 2);
  ASSERT_EQ(page.skipped.size(), 1u);
  EXPECT_EQ(page.skipped[0].sequence, 3);
}

TEST_F(HistoryRecords, StorageFailureWhileReadingAPageStillFails) {
  save({message(1, 1)});
  RawDatabase(folder.historyFile()).exec("DROP TABLE records");
  EXPECT_TRUE(failsWith([&] { history.loadRecords(std::nullopt, std::nullopt, 10, false); },
                        Failure::storage(SQLITE_ERROR)));
}

TEST_F(HistoryRecords, ClearingRemovesThePeersItemsAndRaisesItsEpoch) {
  history.enqueue(message(1, 1, "queued", true), key32(1), 0, std::nullopt);
  history.enqueue(transfer(1, 2, "batch", true), key32(1), 0, bytesOf("source"));
  ASSERT_TRUE(history.storeReceipt(message(1, 3), "receipt", 0, std::nullopt).inserted);
  history.enqueue(message(2, 4, "other", true), key32(2), 0, std::nullopt);

  EXPECT_EQ(clear(1), 1);
  EXPECT_EQ(history.epoch(peerText(1)), 1);
  EXPECT_EQ(history.peers(), (std::vector<std::string>{peerText(2)}));
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT count(*) FROM message_outbox"), "1");
  EXPECT_EQ(raw.value("SELECT count(*) FROM attachment_sources"), "0");
  EXPECT_EQ(raw.value("SELECT count(*) FROM message_receipts WHERE peer='" + peerText(1) + "'"),
            "1");
  EXPECT_EQ(history.loadRecords(peerText(2), std::nullopt, 10, false).records.size(), 1u);
  EXPECT_EQ(history.epoch(peerText(2)), 0);
}

TEST_F(HistoryRecords, ClearingAPeerWithoutRecordsStillRaisesItsEpoch) {
  EXPECT_EQ(clear(5), 1);
  EXPECT_EQ(clear(5), 2);
  EXPECT_TRUE(history.peers().empty());
}

TEST_F(HistoryRecords, EpochAtItsLargestValueCannotBeRaised) {
  history.execute("INSERT INTO epochs(peer,generation) VALUES('" + peerText(1) + "'," +
                  std::to_string(std::numeric_limits<int64_t>::max()) + ")");
  EXPECT_TRUE(failsWith([&] { history.clearConversation(peerText(1)); }, Failure::invalidRecord()));
  EXPECT_TRUE(failsWith([&] { history.epoch("not an identifier"); }, Failure::invalidRecord()));
}

TEST_F(HistoryRecords, ClearingWithSettingsStoresThem) {
  history.clearConversation(peerText(1), bytesOf("prefs"));
  EXPECT_EQ(history.metadataPayload("settings"), bytesOf("prefs"));
}

TEST_F(HistoryRecords, SequencesAreNeverReusedAfterClearing) {
  int64_t first = save({message(1, 1)}).at(message(1, 1).key());
  clear(1);
  EXPECT_GT(save({message(1, 1)}).at(message(1, 1).key()), first);
}

}  // namespace
}  // namespace velmorine::store
