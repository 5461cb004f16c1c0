#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;

class HistoryMetadata : public ::testing::Test {
 protected:
  std::set<std::string> metadataNames() {
    RawDatabase raw(folder.historyFile());
    std::set<std::string> names;
    for (const auto& row : raw.rows("SELECT name FROM metadata")) names.insert(row.front());
    return names;
  }

  void import(const std::string& marker, const std::vector<ConversationHistoryRecord>& records) {
    history.execute("BEGIN IMMEDIATE");
    try {
      history.importRecords(marker, records);
      history.execute("COMMIT");
    } catch (...) {
      history.execute("ROLLBACK");
      throw;
    }
  }

  std::string mark(uint64_t peer, uint64_t id) { return peerText(peer) + ":" + itemText(id); }

  TemporaryFolder folder;
  ConversationHistory history{folder.historyFile()};
};

TEST_F(HistoryMetadata, HidingMarksEverySettledTransferOnly) {
  history.saveRecords(
      {transfer(1, 1), transfer(2, 2), transfer(1, 3, "running", true), message(1, 4)}, {});
  std::set<std::string> expected{mark(1, 1), mark(2, 2)};
  EXPECT_EQ(history.hideEndedTransfers(std::nullopt, std::nullopt, {}, true), expected);
  EXPECT_EQ(history.hideEndedTransfers(std::nullopt, std::nullopt, {}, true), expected);
  EXPECT_EQ(history.hiddenTransferNames(), expected);
  EXPECT_EQ(metadataNames().size(), 2u);
}

TEST_F(HistoryMetadata, HidingOneTransferMarksOnlyIt) {
  history.saveRecords({transfer(1, 1), transfer(1, 2)}, {});
  EXPECT_EQ(history.hideEndedTransfers(peerText(1), itemText(2), {}, true),
            (std::set<std::string>{mark(1, 2)}));
}

TEST_F(HistoryMetadata, LegacyIdsAreMarkedByName) {
  history.saveRecords({transfer(1, 1)}, {});
  EXPECT_EQ(
      history.hideEndedTransfers(std::nullopt, std::nullopt, {itemText(8), itemText(9)}, false),
      (std::set<std::string>{"legacy:" + itemText(8), "legacy:" + itemText(9)}));
  EXPECT_EQ(metadataNames(),
            (std::set<std::string>{"transfer-overview.hidden:legacy:" + itemText(8),
                                   "transfer-overview.hidden:legacy:" + itemText(9)}));
  EXPECT_EQ(history.metadataPayload("transfer-overview.hidden:legacy:" + itemText(8)),
            std::vector<uint8_t>{0x01});
}

TEST_F(HistoryMetadata, BadHidingArgumentsWriteNothing) {
  history.saveRecords({transfer(1, 1)}, {});
  struct Case {
    const char* name;
    std::optional<std::string> peer;
    std::optional<std::string> transferId;
    std::set<std::string> legacy;
  };
  for (const Case& c : {
           Case{"peer without transfer", peerText(1), std::nullopt, {}},
           Case{"transfer without peer", std::nullopt, itemText(1), {}},
           Case{"upper-case transfer", peerText(1), "6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B", {}},
           Case{"bad legacy id", std::nullopt, std::nullopt, {itemText(2), "legacy"}},
       }) {
    EXPECT_TRUE(failsWith([&] { history.hideEndedTransfers(c.peer, c.transferId, c.legacy, true); },
                          Failure::invalidRecord()))
        << c.name;
  }
  EXPECT_TRUE(metadataNames().empty());
}

TEST_F(HistoryMetadata, MarksOutliveClearing) {
  history.saveRecords({transfer(1, 1)}, {});
  history.hideEndedTransfers(std::nullopt, std::nullopt, {}, true);
  history.clearConversation(peerText(1));
  EXPECT_EQ(history.hiddenTransferNames(), (std::set<std::string>{mark(1, 1)}));
}

TEST_F(HistoryMetadata, OnlyNamesWithTheExactPrefixAreMarks) {
  history.setMetadata("TRANSFER-OVERVIEW.HIDDEN:" + mark(1, 1), std::vector<uint8_t>{1});
  history.setMetadata("mac-process-history-v1", std::vector<uint8_t>{1});
  EXPECT_TRUE(history.hiddenTransferNames().empty());
}

TEST_F(HistoryMetadata, ImportHappensOncePerMarker) {
  ConversationHistoryRecord withReceipt = message(1, 1, "old");
  withReceipt.receiptText = "receipt";
  import("mac-process-history-v1", {withReceipt, transfer(1, 2)});
  EXPECT_EQ(history.metadataPayload("mac-process-history-v1"), std::vector<uint8_t>{0x01});
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT receipt FROM records WHERE kind='message'"), "receipt");

  import("mac-process-history-v1", {message(2, 3)});
  EXPECT_EQ(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.size(), 2u);
  import("another-marker", {message(2, 3)});
  EXPECT_EQ(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.size(), 3u);
}

TEST_F(HistoryMetadata, ImportKeepsRowsThatExist) {
  ConversationHistoryRecord stored = message(1, 1, "stored", true);
  stored.receiptText = "first receipt";
  history.upsertRecord(stored);
  ConversationHistoryRecord incoming = message(1, 1, "imported", false);
  incoming.receiptText = "second receipt";
  import("mac-process-history-v1", {incoming});
  EXPECT_EQ(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.at(0),
            message(1, 1, "stored", true));
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT receipt FROM records"), "first receipt");
  EXPECT_TRUE(history.metadataPayload("mac-process-history-v1").has_value());
}

TEST_F(HistoryMetadata, FailedImportLeavesNeitherRecordsNorMarker) {
  EXPECT_TRUE(failsWith(
      [&] {
        import("mac-process-history-v1",
               {message(1, 1), message(1, 2), record("message", "bad", itemText(3))});
      },
      Failure::invalidRecord()));
  EXPECT_TRUE(history.peers().empty());
  EXPECT_FALSE(history.metadataPayload("mac-process-history-v1").has_value());
  import("mac-process-history-v1", {message(1, 1)});
  EXPECT_EQ(history.peers(), (std::vector<std::string>{peerText(1)}));
}

TEST_F(HistoryMetadata, ImportStoresSettingsOnlyWhenGiven) {
  history.importRecords("first", {});
  EXPECT_FALSE(history.metadataPayload("settings").has_value());
  history.importRecords("second", {}, bytesOf("prefs"));
  EXPECT_EQ(history.metadataPayload("settings"), bytesOf("prefs"));
}

}  // namespace
}  // namespace velmorine::store
