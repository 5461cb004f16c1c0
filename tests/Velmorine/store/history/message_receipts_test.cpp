#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;

class MessageReceipts : public ::testing::Test {
 protected:
  StoredReceipt store(uint64_t id, const std::string& text, std::optional<std::vector<uint8_t>> key,
                      int64_t epoch = 0) {
    return history.storeReceipt(message(1, id, "incoming"), text, epoch, key);
  }

  TemporaryFolder folder;
  ConversationHistory history{folder.historyFile()};
};

// A second arrival of the same message identifier after a first one.
struct Repeat {
  const char* name;
  std::optional<std::vector<uint8_t>> firstKey;
  std::string secondText;
  std::optional<std::vector<uint8_t>> secondKey;
  bool accepted;
};

class MessageReceiptRepeat : public MessageReceipts,
                             public ::testing::WithParamInterface<Repeat> {};

TEST_P(MessageReceiptRepeat, IsRecognisedOrRefused) {
  const Repeat& repeat = GetParam();
  StoredReceipt first = store(1, "receipt text", repeat.firstKey);
  EXPECT_TRUE(first.inserted);
  auto second = [&] { return store(1, repeat.secondText, repeat.secondKey); };
  if (repeat.accepted) {
    EXPECT_EQ(second(), (StoredReceipt{.inserted = false, .sequence = first.sequence}));
  } else {
    EXPECT_TRUE(failsWith(second, Failure::conflictingReceipt()));
  }
  ConversationHistoryPage page = history.loadRecords(std::nullopt, std::nullopt, 10, false);
  ASSERT_EQ(page.records.size(), 1u);
  EXPECT_EQ(page.sequences.at(message(1, 1).key()), first.sequence);
}

INSTANTIATE_TEST_SUITE_P(
    Receipts, MessageReceiptRepeat,
    ::testing::Values(Repeat{"SameTextSameKey", key32(1), "receipt text", key32(1), true},
                      Repeat{"SameTextNoKeys", std::nullopt, "receipt text", std::nullopt, true},
                      Repeat{"OtherText", key32(1), "other text", key32(1), false},
                      Repeat{"SameTextOtherKey", key32(1), "receipt text", key32(2), false},
                      Repeat{"SameTextKeyMissing", key32(1), "receipt text", std::nullopt, false},
                      Repeat{"FirstWithoutKeyThenAnyKey", std::nullopt, "receipt text", key32(9),
                             true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(MessageReceipts, StoredDigestIsTheSha256OfTheText) {
  store(1, "abc", std::nullopt);
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT lower(hex(digest)) FROM message_receipts"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(raw.value("SELECT receipt FROM records"), "abc");
}

TEST_F(MessageReceipts, IdentifierHeldByAMessageWithoutReceiptIsAnotherMessage) {
  history.enqueue(message(1, 1, "outgoing", true), key32(1), 0, std::nullopt);
  EXPECT_TRUE(
      failsWith([&] { store(1, "receipt text", std::nullopt); }, Failure::conflictingReceipt()));
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT count(*) FROM message_receipts"), "0");
}

TEST_F(MessageReceipts, RecordImportedWithTheSameReceiptIsAdoptedUnchanged) {
  ConversationHistoryRecord imported = message(1, 1, "imported");
  imported.receiptText = "receipt text";
  int64_t sequence = history.upsertRecord(imported);
  EXPECT_EQ(store(1, "receipt text", key32(1)),
            (StoredReceipt{.inserted = false, .sequence = sequence}));
  EXPECT_EQ(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.at(0).payload,
            bytesOf("imported"));
  EXPECT_TRUE(
      failsWith([&] { store(1, "receipt text", key32(2)); }, Failure::conflictingReceipt()));
}

TEST_F(MessageReceipts, RepeatAfterTheConversationWasClearedIsStillRecognised) {
  StoredReceipt first = store(1, "receipt text", key32(1));
  history.clearConversation(peerText(1));
  EXPECT_EQ(store(1, "receipt text", key32(1), 1),
            (StoredReceipt{.inserted = false, .sequence = first.sequence}));
  EXPECT_TRUE(history.peers().empty());
}

TEST_F(MessageReceipts, ArgumentsAreChecked) {
  struct Case {
    const char* name;
    ConversationHistoryRecord record;
    std::string text;
    std::optional<std::vector<uint8_t>> key;
  };
  for (const Case& c :
       {Case{"empty text", message(1, 1), "", std::nullopt},
        Case{"transfer record", transfer(1, 1), "receipt", std::nullopt},
        Case{"31-byte key", message(1, 1), "receipt", std::vector<uint8_t>(31, 1)},
        Case{"empty key", message(1, 1), "receipt", std::vector<uint8_t>{}},
        Case{"bad peer", record("message", "x", itemText(1)), "receipt", std::nullopt}}) {
    EXPECT_TRUE(failsWith([&] { history.storeReceipt(c.record, c.text, 0, c.key); },
                          Failure::invalidRecord()))
        << c.name;
  }
}

TEST_F(MessageReceipts, OutdatedEpochWritesNothing) {
  history.clearConversation(peerText(1));
  EXPECT_TRUE(failsWith([&] { store(1, "receipt", std::nullopt, 0); }, Failure::staleCallback()));
  EXPECT_TRUE(history.peers().empty());
  EXPECT_TRUE(store(1, "receipt", std::nullopt, 1).inserted);
}

}  // namespace
}  // namespace velmorine::store
