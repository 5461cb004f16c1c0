#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmorine::store {

// One chat message or transfer of one peer, as the history keeps it.
struct ConversationHistoryRecord {
  std::string kind;              // "message" or "transfer"
  std::string peer;              // canonical device identifier
  std::string id;                // canonical message or transfer identifier
  std::vector<uint8_t> payload;  // the writer's own encoding of the item
  bool unsettled = false;        // still queued, unacknowledged or running
  // The receipt of a received message: stored only when the record is first inserted,
  // never given back by a page.
  std::optional<std::string> receiptText;

  // kind ":" peer ":" id, the key of the maps that give sequences by record.
  std::string key() const;

  friend bool operator==(const ConversationHistoryRecord&,
                         const ConversationHistoryRecord&) = default;
};

// Sequences by record key.
using ConversationSequences = std::unordered_map<std::string, int64_t>;

// A stored row that breaks the value rules, as far as it could be read: NULL text reads as
// empty. Pages leave such rows where they are and name them here.
struct ConversationHistorySkippedRow {
  int64_t sequence = 0;
  std::string kind;
  std::string peer;
  std::string id;

  friend bool operator==(const ConversationHistorySkippedRow&,
                         const ConversationHistorySkippedRow&) = default;
};

// One page of records, newest rows of the query but in ascending order.
struct ConversationHistoryPage {
  std::vector<ConversationHistoryRecord> records;  // ascending seq, receiptText absent
  ConversationSequences sequences;
  // The oldest row the page covered, valid or skipped: pass as `before` for the next older page.
  std::optional<int64_t> oldestSequence;
  bool hasMore = false;  // older rows exist beyond this page
  // Rows among those covered that were left out, newest first.
  std::vector<ConversationHistorySkippedRow> skipped;
};

}  // namespace velmorine::store
