// VEProtocol: chat frames.

#include <chrono>

#include "native/protocol/chat_frames.h"
#include "native/protocol/ve_outbound_policy.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine {

using core::Uuid;

std::optional<VEFrame> VEProtocol::chatWithSender(std::string_view sender,
                                                  std::string_view messageID,
                                                  std::string_view frameID, std::string_view text) {
  const auto sender_id = Uuid::parse(sender);
  const auto message_id = Uuid::parse(messageID);
  const auto frame_id = Uuid::parse(frameID);
  if (!sender_id || !message_id || !frame_id) return std::nullopt;
  if (VEOutboundPolicy::validateText(text) != VEOutboundPolicy::kTextAcceptable) {
    return std::nullopt;
  }
  const auto now = std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
  auto frame =
      protocol::serialize_chat({2, 0, *frame_id, *sender_id, *message_id, now, std::string(text)});
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<VEChatContent> VEProtocol::parseChat(const VEFrame& frame, std::string_view sender) {
  const auto sender_id = Uuid::parse(sender);
  if (!sender_id) return std::nullopt;
  auto message = protocol::parse_chat(frame.frame(), *sender_id);
  if (!message) return std::nullopt;
  return VEChatContent{message->message_id.to_string(), message->id.to_string(),
                       std::move(message->text)};
}

std::optional<VEFrame> VEProtocol::ackWithSender(std::string_view sender,
                                                 std::string_view messageID,
                                                 std::string_view correlationID) {
  const auto sender_id = Uuid::parse(sender);
  const auto message_id = Uuid::parse(messageID);
  const auto correlation_id = Uuid::parse(correlationID);
  if (!sender_id || !message_id || !correlation_id) return std::nullopt;
  auto frame = protocol::serialize_chat_ack(
      {2, 0, Uuid::random(), *sender_id, *correlation_id, *message_id});
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<VEChatAckContent> VEProtocol::parseAck(const VEFrame& frame,
                                                     std::string_view sender) {
  const auto sender_id = Uuid::parse(sender);
  if (!sender_id) return std::nullopt;
  const auto ack = protocol::parse_chat_ack(frame.frame(), *sender_id);
  if (!ack) return std::nullopt;
  return VEChatAckContent{ack->message_id.to_string(), ack->correlation_id.to_string()};
}

}  // namespace velmorine
