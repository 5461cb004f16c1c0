#include <algorithm>
#include <string>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/history_statement.h"
#include "Velmorine/store/history/receipt_digest.h"

namespace velmorine::store {

using history::HistoryStatement;

namespace {

bool sameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return std::ranges::equal(a, b);
}

}  // namespace

StoredReceipt ConversationHistory::storeReceipt(
    const ConversationHistoryRecord& record, const std::string& receiptText, int64_t expectedEpoch,
    const std::optional<std::vector<uint8_t>>& senderKey) {
  validateRecord(record);
  if (record.kind != "message" || receiptText.empty() || (senderKey && senderKey->size() != 32)) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  std::span<const uint8_t> receiptBytes(reinterpret_cast<const uint8_t*>(receiptText.data()),
                                        receiptText.size());
  return inImmediateTransaction([&]() -> StoredReceipt {
    if (epoch(record.peer) != expectedEpoch) throw ConversationHistoryFailure::staleCallback();
    std::array<uint8_t, 32> digest = history::receiptDigest(receiptText);

    {
      HistoryStatement stored(*statements,
                              "SELECT digest,sender_key,seq FROM message_receipts "
                              "WHERE peer=? AND id=?");
      stored.bindText(1, record.peer);
      stored.bindText(2, record.id);
      if (stored.step()) {
        // A repeat must carry the same text from the same sender; anything else would let
        // other content take over an identifier that was already received.
        if (!sameBytes(stored.columnBytes(0), digest)) {
          throw ConversationHistoryFailure::conflictingReceipt();
        }
        if (!stored.columnIsNull(1) &&
            (!senderKey || !sameBytes(stored.columnBytes(1), *senderKey))) {
          throw ConversationHistoryFailure::conflictingReceipt();
        }
        return StoredReceipt{.inserted = false, .sequence = stored.columnInt64(2)};
      }
    }

    bool inserted = false;
    std::optional<int64_t> sequence;
    {
      HistoryStatement existing(*statements,
                                "SELECT seq,receipt FROM records WHERE kind='message' AND "
                                "peer=? AND id=?");
      existing.bindText(1, record.peer);
      existing.bindText(2, record.id);
      if (existing.step()) {
        // A record written without a receipt (an outgoing message) is another message.
        if (existing.columnIsNull(1) || !sameBytes(existing.columnBytes(1), receiptBytes)) {
          throw ConversationHistoryFailure::conflictingReceipt();
        }
        sequence = existing.columnInt64(0);
      }
    }
    if (!sequence) {
      sequence = upsertRecord(record, receiptBytes);
      inserted = true;
    }

    HistoryStatement insert(*statements,
                            "INSERT INTO message_receipts(peer,id,digest,sender_key,seq) "
                            "VALUES(?,?,?,?,?)");
    insert.bindText(1, record.peer);
    insert.bindText(2, record.id);
    insert.bindBlob(3, digest);
    if (senderKey) insert.bindBlob(4, *senderKey);
    insert.bindInt64(5, *sequence);
    insert.run();
    return StoredReceipt{.inserted = inserted, .sequence = *sequence};
  });
}

}  // namespace velmorine::store
