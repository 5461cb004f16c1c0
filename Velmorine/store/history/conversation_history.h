#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Velmorine/store/history/conversation_history_failure.h"
#include "Velmorine/store/history/conversation_history_record.h"
#include "Velmorine/store/history/conversation_outbox.h"

struct sqlite3;

namespace velmorine::store {

namespace history {
class StatementCache;
}

// The conversation history: one SQLite connection to "conversation-history-v2.sqlite" with
// the records of every peer, per-peer epochs, metadata, the message outbox, attachment
// sources and receipts. No lock of its own: one owner calls it from one queue. Operations
// marked "own transaction" must be called outside the caller's transactions; all others
// run inside whatever transaction the caller holds.
class ConversationHistory {
 public:
  // Opens or creates the file and brings the schema up to date. Throws
  // ConversationHistoryFailure, or std::filesystem::filesystem_error when the folder
  // cannot be made or the file's permissions cannot be set.
  explicit ConversationHistory(const std::filesystem::path& file);
  ~ConversationHistory();
  ConversationHistory(const ConversationHistory&) = delete;
  ConversationHistory& operator=(const ConversationHistory&) = delete;

  // Statements.
  // One parameterless statement, stepped once ("BEGIN IMMEDIATE", "COMMIT", pragmas).
  void execute(std::string_view sql);
  // The first column of the first row, bound with text arguments at 1, 2, ...
  std::optional<int64_t> queryInteger(std::string_view sql,
                                      const std::vector<std::string>& arguments);

  // Value rules.
  // Lower-case standard text of a UUID that is not nil.
  static bool isCanonicalIdentifier(std::string_view text);
  // Throws invalidRecord unless kind, peer, id and payload size are acceptable.
  static void validateRecord(const ConversationHistoryRecord& record);

  // Records, pages, peers and epochs.
  int64_t upsertRecord(const ConversationHistoryRecord& record,
                       std::optional<std::span<const uint8_t>> receipt = std::nullopt);
  ConversationSequences saveRecords(const std::vector<ConversationHistoryRecord>& records,
                                    const std::unordered_map<std::string, int64_t>& epochs);
  // The newest `limit` records older than `before`, in ascending order. A stored row breaking the
  // value rules is left in place, named in the page's `skipped` and passed over, so one bad row
  // never hides the others; SQLite failures still throw.
  ConversationHistoryPage loadRecords(const std::optional<std::string>& peer,
                                      std::optional<int64_t> before, int limit, bool unsettledOnly);
  // The peers that have records, leaving out values that break the rules.
  std::vector<std::string> peers();
  int64_t epoch(const std::string& peer);
  // Deletes the peer's records, outbox rows and attachment sources; gives the new epoch.
  int64_t clearConversation(const std::string& peer,
                            const std::optional<std::vector<uint8_t>>& settings = std::nullopt);

  // Message outbox, attachment sources and receipts.
  int64_t enqueue(const ConversationHistoryRecord& record, std::span<const uint8_t> recipientKey,
                  int64_t expectedEpoch,
                  const std::optional<std::vector<uint8_t>>& attachmentSource);  // own transaction
  // Up to `limit` rows in sequence order. A stored row breaking the value rules (a state
  // outside the enumeration, a bad identifier, an empty or oversized payload or key) is passed
  // over and left in place, and named in `skipped` when given. For `oldestOnly` such a row
  // still counts as its peer's oldest: the plain form, paged with `after`, gets past it.
  std::vector<ConversationOutboxEntry> pendingOutboxEntries(
      const ConversationOutboxQuery& query,
      std::vector<ConversationHistorySkippedRow>* skipped = nullptr);
  void transitionOutboxEntry(const ConversationOutboxEntry& entry, ConversationOutboxState newState,
                             const ConversationHistoryRecord& record,
                             double retryAfter);  // own transaction
  std::vector<uint8_t> attachmentSource(const ConversationOutboxEntry& entry);
  StoredReceipt storeReceipt(
      const ConversationHistoryRecord& record, const std::string& receiptText,
      int64_t expectedEpoch,
      const std::optional<std::vector<uint8_t>>& senderKey);  // own transaction

  // Metadata.
  std::optional<std::vector<uint8_t>> metadataPayload(const std::string& name);
  void setMetadata(const std::string& name, std::span<const uint8_t> payload);
  // Marks ended transfers hidden; gives the hidden set afterwards. Own transaction.
  std::set<std::string> hideEndedTransfers(const std::optional<std::string>& peer,
                                           const std::optional<std::string>& transferId,
                                           const std::set<std::string>& legacyTransferIds,
                                           bool includeRecords);
  std::set<std::string> hiddenTransferNames();
  // Inserts the records that are missing, once per marker name.
  void importRecords(const std::string& marker,
                     const std::vector<ConversationHistoryRecord>& records,
                     const std::optional<std::vector<uint8_t>>& settings = std::nullopt);

 private:
  struct Closer {
    void operator()(sqlite3* database) const;
  };

  void createOrCheckSchema();
  void rollbackQuietly();

  // Runs `work` between "BEGIN IMMEDIATE" and "COMMIT"; any failure after BEGIN rolls
  // back and rethrows the first failure.
  template <typename Work>
  auto inImmediateTransaction(Work&& work) -> std::invoke_result_t<Work&> {
    execute("BEGIN IMMEDIATE");
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
        work();
        execute("COMMIT");
      } else {
        auto result = work();
        execute("COMMIT");
        return result;
      }
    } catch (...) {
      rollbackQuietly();
      throw;
    }
  }

  std::unique_ptr<sqlite3, Closer> database;
  // Declared after the connection, so that its statements are finalized before it closes.
  std::unique_ptr<history::StatementCache> statements;
};

}  // namespace velmorine::store
