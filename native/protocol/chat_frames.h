#pragma once

// CHAT and CHAT_ACK: their headers, the checks of chat text, and the parsers with their
// result codes.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "native/protocol/frame_codec.h"
#include "native/protocol/utc_timestamp.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

inline constexpr size_t kMaxChatTextBytes = 32768;

struct ChatHeader {
  uint16_t major = 2;
  uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid message_id;
  UtcMicroseconds timestamp;
  std::string text;
};

struct ChatAckHeader {
  uint16_t major = 2;
  uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid correlation_id;  // the id of the CHAT frame acknowledged
  core::Uuid message_id;
};

using ChatMessage = ChatHeader;
using ChatAck = ChatAckHeader;

struct ParseError {
  enum : int32_t {
    none = 0,
    malformed = 1,
    duplicate_key = 2,
    missing_member = 3,
    invalid_value = 4,  // also: the frame has the wrong kind for the parser
    invalid_text_encoding = 5,
    invalid_timestamp = 6,
    invalid_text = 7,
    text_too_long = 8,
    payload_not_empty = 9,
    unsupported_major = 10,
    unexpected_sender = 11,
  };
};

// 1 to 32768 bytes of valid UTF-8 holding at least one non-White_Space code point.
bool valid_chat_text(std::string_view bytes);

std::optional<Frame> serialize_chat(const ChatHeader& header);
std::optional<Frame> serialize_chat_ack(const ChatAckHeader& header);

// The members that CHAT and CHAT_ACK share, plus the optional ones either may carry.
struct CommonChatHeader {
  uint16_t major = 0;
  uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid message_id;
  std::optional<core::Uuid> correlation_id;
  std::optional<std::string> timestamp;  // unescaped
  std::optional<std::string> text;       // unescaped
};

// Checks the header against `expected_type` and `expected_sender`; a `ParseError` code on
// failure.
std::expected<CommonChatHeader, int32_t> parse_common_header(const Frame& frame,
                                                             std::string_view expected_type,
                                                             const core::Uuid& expected_sender);

std::expected<ChatMessage, int32_t> parse_chat(const Frame& frame,
                                               const core::Uuid& expected_sender);
std::expected<ChatAck, int32_t> parse_chat_ack(const Frame& frame,
                                               const core::Uuid& expected_sender);

}  // namespace velmorine::protocol
