#include "native/protocol/chat_ledger.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace velmorine::protocol {

using core::Uuid;

ChatHandler::ChatHandler(Uuid local_id, IdMaker make_id, Clock clock, int64_t timeout_ms,
                         size_t dedup_capacity)
    : local_id_(local_id),
      make_id_(std::move(make_id)),
      clock_(std::move(clock)),
      timeout_(std::max<int64_t>(timeout_ms, 1)),
      dedup_capacity_(std::max<size_t>(dedup_capacity, 1)) {}

std::string ChatHandler::peer_frame_key(const Uuid& peer, const Uuid& second) {
  return peer.to_string() + "/" + second.to_string();
}

std::chrono::steady_clock::time_point ChatHandler::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::optional<Frame> ChatHandler::begin_outgoing(const Uuid& peer, const ChatHeader& header) {
  if (peer.is_nil() || peer == local_id_ || header.sender != local_id_) return std::nullopt;
  auto frame = serialize_chat(header);
  if (!frame) return std::nullopt;

  // A huge timeout saturates instead of wrapping the deadline into the past.
  constexpr int64_t kMaxMilliseconds = std::numeric_limits<int64_t>::max() / 1000000 / 2;
  const auto deadline = now() + std::chrono::milliseconds(std::min(timeout_, kMaxMilliseconds));
  std::string key = peer_frame_key(peer, header.id);
  std::lock_guard lock(mutex_);
  const bool in_flight = std::any_of(pending_.begin(), pending_.end(), [&](const auto& entry) {
    return entry.second.peer == peer && entry.second.message_id == header.message_id;
  });
  if (in_flight || pending_.contains(key)) return std::nullopt;
  pending_.emplace(std::move(key), PendingEntry{peer, header.id, header.message_id, deadline});
  return frame;
}

ChatHandleResult ChatHandler::handle_frame(const Uuid& peer, const Frame& frame) {
  ChatHandleResult result;
  if (peer.is_nil() || peer == local_id_) {
    result.status = ChatHandleStatus::unparsed;
    result.parse_error = ParseError::unexpected_sender;
    return result;
  }
  if (frame.type == FrameKind::chat_ack) {
    const auto ack = parse_chat_ack(frame, peer);
    if (!ack) {
      result.status = ChatHandleStatus::unparsed;
      result.parse_error = ack.error();
      return result;
    }
    std::lock_guard lock(mutex_);
    const auto entry = pending_.find(peer_frame_key(peer, ack->correlation_id));
    if (entry == pending_.end()) return result;  // settled, expired or cancelled already
    if (entry->second.message_id != ack->message_id) {
      result.status = ChatHandleStatus::message_mismatch;
      return result;
    }
    result.acknowledged = ack->message_id;
    pending_.erase(entry);
    return result;
  }
  if (frame.type != FrameKind::chat) {
    result.status = ChatHandleStatus::not_chat;
    return result;
  }

  auto message = parse_chat(frame, peer);
  if (!message) {
    result.status = ChatHandleStatus::unparsed;
    result.parse_error = message.error();
    return result;
  }
  Uuid ack_id;
  {
    std::lock_guard lock(mutex_);
    result.duplicate = !remember_incoming_locked(peer, message->message_id);
    if (make_id_) ack_id = make_id_();
  }
  // Duplicates are acknowledged too: the earlier acknowledgement may have been lost.
  result.reply = serialize_chat_ack({2, 0, ack_id, local_id_, message->id, message->message_id});
  if (!result.duplicate) result.incoming = std::move(*message);
  if (!result.reply) result.status = ChatHandleStatus::reply_unbuilt;
  return result;
}

bool ChatHandler::remember_incoming_locked(const Uuid& peer, const Uuid& message_id) {
  std::string key = peer_frame_key(peer, message_id);
  if (const auto known = seen_index_.find(key); known != seen_index_.end()) {
    seen_order_.splice(seen_order_.end(), seen_order_, known->second);
    return false;
  }
  seen_order_.push_back(key);
  seen_index_.emplace(std::move(key), std::prev(seen_order_.end()));
  while (seen_index_.size() > dedup_capacity_) {
    seen_index_.erase(seen_order_.front());
    seen_order_.pop_front();
  }
  return true;
}

std::optional<PendingChat> ChatHandler::cancel_outgoing(const Uuid& peer, const Uuid& message_id) {
  std::lock_guard lock(mutex_);
  for (auto entry = pending_.begin(); entry != pending_.end(); ++entry) {
    const PendingEntry& pending = entry->second;
    if (pending.peer == peer && pending.message_id == message_id) {
      PendingChat removed{pending.peer, pending.frame_id, pending.message_id};
      pending_.erase(entry);
      return removed;
    }
  }
  return std::nullopt;
}

std::vector<PendingChat> ChatHandler::cancel_peer(const Uuid& peer) {
  std::vector<PendingChat> removed;
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [&](const auto& entry) {
    const PendingEntry& pending = entry.second;
    if (pending.peer != peer) return false;
    removed.push_back({pending.peer, pending.frame_id, pending.message_id});
    return true;
  });
  return removed;
}

std::vector<PendingChat> ChatHandler::expire() {
  const auto at = now();
  std::vector<PendingChat> removed;
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [&](const auto& entry) {
    const PendingEntry& pending = entry.second;
    if (pending.deadline > at) return false;
    removed.push_back({pending.peer, pending.frame_id, pending.message_id});
    return true;
  });
  return removed;
}

size_t ChatHandler::pending_count() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

size_t ChatHandler::deduplication_size() const {
  std::lock_guard lock(mutex_);
  return seen_index_.size();
}

}  // namespace velmorine::protocol
