#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/store/history/conversation_history_record.h"

namespace velmorine::store {

// The state of one outbox row; the raw values are what the state column holds.
enum class ConversationOutboxState : int32_t {
  waiting = 0,    // queued, due at its retry time
  sending = 1,    // handed to a connection
  uncertain = 2,  // an attempt ended without confirmation
  attention = 3,  // held until the caller puts it back to waiting
  delivered = 4,  // final
  cancelled = 5,  // final
};

// 0 to 5 give their state, every other value nothing.
std::optional<ConversationOutboxState> conversationOutboxStateFromRaw(int64_t raw);

inline bool isPending(ConversationOutboxState state) {
  return static_cast<int32_t>(state) < static_cast<int32_t>(ConversationOutboxState::delivered);
}

// Whether a row read in `from` with `attempts` may move to `to`.
bool isOutboxMoveAllowed(ConversationOutboxState from, ConversationOutboxState to,
                         int64_t attempts);

// One outbox row joined with its record.
struct ConversationOutboxEntry {
  ConversationHistoryRecord record;   // receiptText absent
  int64_t sequence = 0;               // the record's seq, also the row's key
  std::vector<uint8_t> recipientKey;  // 32-byte public key of the peer
  int64_t epoch = 0;                  // the peer's epoch when queued
  ConversationOutboxState state = ConversationOutboxState::waiting;
  int64_t attempts = 0;     // moves to sending so far
  double retryAfter = 0.0;  // earliest next attempt, caller's clock in seconds

  friend bool operator==(const ConversationOutboxEntry&, const ConversationOutboxEntry&) = default;
};

// Which outbox rows `ConversationHistory::pendingOutboxEntries` gives.
struct ConversationOutboxQuery {
  std::string kind{};  // "message" or "transfer"
  std::optional<std::string> peer{};
  std::optional<std::string> id{};
  bool oldestOnly = false;  // per kind and peer only the oldest pending row
  int64_t after = 0;        // rows with a larger sequence only
  int limit = 200;          // 1 to 200
  bool allStates = false;   // include delivered and cancelled rows
  // Without it each entry's record payload is left empty and not read: a caller that keeps its
  // items in memory walks large rows at the cost of their keys.
  bool withPayload = true;
};

// The outcome of storing a received message's receipt.
struct StoredReceipt {
  bool inserted = false;  // the record was created by this call
  int64_t sequence = 0;   // the message record's seq

  friend bool operator==(const StoredReceipt&, const StoredReceipt&) = default;
};

}  // namespace velmorine::store
