#pragma once

// The in-memory ledger of chat delivery for one local device: outgoing CHAT frames wait for
// their CHAT_ACK until a deadline, every incoming CHAT is answered, and a message that
// arrives again is recognised as a duplicate within a bounded window.

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "native/protocol/chat_frames.h"
#include "native/protocol/frame_codec.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

struct PendingChat {
  core::Uuid peer;
  core::Uuid frame_id;
  core::Uuid message_id;
};

struct ChatHandleStatus {
  enum : int32_t {
    handled = 0,
    unparsed = 1,          // `parse_error` says why
    not_chat = 2,          // neither CHAT nor CHAT_ACK
    reply_unbuilt = 3,     // the CHAT was taken but its acknowledgement could not be built
    message_mismatch = 4,  // a CHAT_ACK names a pending frame but another message; kept
  };
};

struct ChatHandleResult {
  int32_t status = ChatHandleStatus::handled;
  int32_t parse_error = ParseError::none;
  std::optional<ChatMessage> incoming;     // a CHAT seen for the first time
  std::optional<Frame> reply;              // the CHAT_ACK to send
  std::optional<core::Uuid> acknowledged;  // the message settled by a CHAT_ACK
  bool duplicate = false;
};

class ChatHandler {
 public:
  using IdMaker = std::function<core::Uuid()>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // An empty clock means the steady clock; a timeout below 1 ms becomes 1 and a capacity of
  // 0 becomes 1.
  ChatHandler(core::Uuid local_id, IdMaker make_id, Clock clock, int64_t timeout_ms,
              size_t dedup_capacity);

  // The CHAT frame to send, registered as pending; nothing when it may not be sent.
  std::optional<Frame> begin_outgoing(const core::Uuid& peer, const ChatHeader& header);

  ChatHandleResult handle_frame(const core::Uuid& peer, const Frame& frame);

  std::optional<PendingChat> cancel_outgoing(const core::Uuid& peer, const core::Uuid& message_id);
  std::vector<PendingChat> cancel_peer(const core::Uuid& peer);
  // Every pending entry whose deadline is at or before now.
  std::vector<PendingChat> expire();

  size_t pending_count() const;
  size_t deduplication_size() const;

  // "<peer>/<second>", both in lower-case identifier text.
  static std::string peer_frame_key(const core::Uuid& peer, const core::Uuid& second);

 private:
  struct PendingEntry {
    core::Uuid peer;
    core::Uuid frame_id;
    core::Uuid message_id;
    std::chrono::steady_clock::time_point deadline;
  };

  // True when the message is new; refreshes a known one. Needs `mutex_`.
  bool remember_incoming_locked(const core::Uuid& peer, const core::Uuid& message_id);
  std::chrono::steady_clock::time_point now() const;

  core::Uuid local_id_;
  IdMaker make_id_;
  Clock clock_;
  int64_t timeout_;
  size_t dedup_capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, PendingEntry> pending_;
  std::list<std::string> seen_order_;  // oldest first
  std::unordered_map<std::string, std::list<std::string>::iterator> seen_index_;
};

}  // namespace velmorine::protocol
