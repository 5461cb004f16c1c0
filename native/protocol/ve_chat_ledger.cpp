#include "native/protocol/ve_chat_ledger.h"

#include <utility>

namespace velmorine {

using core::Uuid;

VEChatLedger::VEChatLedger(const Uuid& local_id, int64_t timeout_ms, Clock clock)
    : local_id_(local_id),
      handler_(local_id, &Uuid::random, std::move(clock), timeout_ms, kDeduplicationCapacity) {}

std::unique_ptr<VEChatLedger> VEChatLedger::create(std::string_view localID,
                                                   int64_t timeoutMilliseconds, Clock clock) {
  if (timeoutMilliseconds < 1 || timeoutMilliseconds > kMaxTimeoutMilliseconds) return nullptr;
  const auto local_id = Uuid::parse(localID);
  if (!local_id) return nullptr;
  return std::unique_ptr<VEChatLedger>(
      new VEChatLedger(*local_id, timeoutMilliseconds, std::move(clock)));
}

std::optional<VEFrame> VEChatLedger::begin(const VEFrame& chat, std::string_view peerID) {
  const auto peer = Uuid::parse(peerID);
  if (!peer) return std::nullopt;
  auto message = protocol::parse_chat(chat.frame(), local_id_);
  if (!message) return std::nullopt;
  auto frame = handler_.begin_outgoing(*peer, *message);
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<VEChatHandling> VEChatLedger::handle(const VEFrame& frame, std::string_view peerID) {
  const auto peer = Uuid::parse(peerID);
  if (!peer) return std::nullopt;
  protocol::ChatHandleResult result = handler_.handle_frame(*peer, frame.frame());
  if (result.status != protocol::ChatHandleStatus::handled) return std::nullopt;
  VEChatHandling handling;
  handling.duplicate = result.duplicate;
  if (result.incoming) {
    handling.incoming =
        VEIncomingChat{result.incoming->message_id.to_string(), std::move(result.incoming->text)};
  }
  if (result.reply) handling.reply.emplace(std::move(*result.reply));
  if (result.acknowledged) handling.acknowledged = result.acknowledged->to_string();
  return handling;
}

std::vector<VEExpiredChat> VEChatLedger::expire() {
  std::vector<VEExpiredChat> expired;
  for (const protocol::PendingChat& entry : handler_.expire()) {
    expired.push_back({entry.peer.to_string(), entry.message_id.to_string()});
  }
  return expired;
}

void VEChatLedger::cancelPeer(std::string_view peerID) {
  if (const auto peer = Uuid::parse(peerID)) handler_.cancel_peer(*peer);
}

void VEChatLedger::cancelMessage(std::string_view messageID, std::string_view peerID) {
  const auto message = Uuid::parse(messageID);
  const auto peer = Uuid::parse(peerID);
  if (message && peer) handler_.cancel_outgoing(*peer, *message);
}

}  // namespace velmorine
