#include "native/protocol/chat_frames.h"

#include "native/protocol/json_text.h"

namespace velmorine::protocol {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

void append_uuid_member(std::string& out, std::string_view key, const core::Uuid& uuid) {
  out += ',';
  append_json_key(out, key);
  out += '"';
  out += uuid.to_string();
  out += '"';
}

// {"major":M,"minor":N,"type":"T" - the opening every chat header shares.
std::string open_header(uint16_t major, uint16_t minor, std::string_view type) {
  std::string out = "{";
  append_json_key(out, "major");
  out += std::to_string(major);
  out += ',';
  append_json_key(out, "minor");
  out += std::to_string(minor);
  out += ',';
  append_json_key(out, "type");
  out += '"';
  out += type;
  out += '"';
  return out;
}

std::optional<core::Uuid> read_uuid(const FlatObject& object, int32_t value) {
  if (!object.is_string(value)) return std::nullopt;
  const std::string_view raw = object.raw(value);
  if (raw.find('\\') != std::string_view::npos) return std::nullopt;
  return parse_canonical_uuid(raw);
}

}  // namespace

bool valid_chat_text(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxChatTextBytes) return false;
  const Utf8Scan scan = scan_utf8(bytes);
  return scan.valid && scan.contains_non_whitespace;
}

std::optional<Frame> serialize_chat(const ChatHeader& header) {
  if (header.major != 2 || header.id.is_nil() || header.sender.is_nil() ||
      header.message_id.is_nil() || !valid_chat_text(header.text)) {
    return std::nullopt;
  }
  const auto timestamp = format_utc_timestamp(header.timestamp);
  const auto text = escape_json_string(header.text);
  if (!timestamp || !text) return std::nullopt;
  std::string out = open_header(header.major, header.minor, "CHAT");
  out.reserve(out.size() + text->size() + 200);
  append_uuid_member(out, "id", header.id);
  append_uuid_member(out, "sender", header.sender);
  append_uuid_member(out, "message_id", header.message_id);
  out += ',';
  append_json_key(out, "timestamp");
  out += '"' + *timestamp + '"';
  out += ',';
  append_json_key(out, "text");
  out += '"';
  out += *text;
  out += "\"}";
  return Frame{FrameKind::chat, std::move(out), {}};
}

std::optional<Frame> serialize_chat_ack(const ChatAckHeader& header) {
  if (header.major != 2 || header.id.is_nil() || header.sender.is_nil() ||
      header.correlation_id.is_nil() || header.message_id.is_nil()) {
    return std::nullopt;
  }
  std::string out = open_header(header.major, header.minor, "CHAT_ACK");
  append_uuid_member(out, "id", header.id);
  append_uuid_member(out, "sender", header.sender);
  append_uuid_member(out, "correlation_id", header.correlation_id);
  append_uuid_member(out, "message_id", header.message_id);
  out += '}';
  return Frame{FrameKind::chat_ack, std::move(out), {}};
}

std::expected<CommonChatHeader, int32_t> parse_common_header(const Frame& frame,
                                                             std::string_view expected_type,
                                                             const core::Uuid& expected_sender) {
  const std::string_view header = frame.header_utf8;
  if (!frame.payload.empty()) return std::unexpected(ParseError::payload_not_empty);
  if (header.empty() || header.size() > kMaxFrameHeaderLength ||
      header.starts_with(kByteOrderMark)) {
    return std::unexpected(ParseError::malformed);
  }
  if (!scan_utf8(header).valid) return std::unexpected(ParseError::invalid_text_encoding);

  const auto object = scan_flat_object(header, header.size() + 1);
  if (!object) return std::unexpected(static_cast<int32_t>(object.error()));
  if (object->tokens.size() < 2) return std::unexpected(ParseError::missing_member);

  CommonChatHeader common;
  bool has_major = false, has_minor = false, has_type = false, has_id = false, has_sender = false,
       has_message_id = false;
  for (const FlatMember& member : object->members) {
    const int32_t value = member.value;
    const std::string_view key = member.key;
    if (key == "type") {
      if (!object->is_string(value) || object->raw(value) != expected_type) {
        return std::unexpected(ParseError::invalid_value);
      }
      has_type = true;
    } else if (key == "major" || key == "minor") {
      const auto number =
          object->is_primitive(value) ? parse_decimal_u16(object->raw(value)) : std::nullopt;
      if (!number) return std::unexpected(ParseError::invalid_value);
      (key == "major" ? common.major : common.minor) = *number;
      (key == "major" ? has_major : has_minor) = true;
    } else if (key == "id" || key == "sender" || key == "message_id" || key == "correlation_id") {
      const auto uuid = read_uuid(*object, value);
      if (!uuid) return std::unexpected(ParseError::invalid_value);
      if (key == "id") {
        common.id = *uuid;
        has_id = true;
      } else if (key == "sender") {
        common.sender = *uuid;
        has_sender = true;
      } else if (key == "message_id") {
        common.message_id = *uuid;
        has_message_id = true;
      } else {
        common.correlation_id = *uuid;
      }
    } else if (key == "timestamp" || key == "text") {
      if (!object->is_string(value)) return std::unexpected(ParseError::invalid_value);
      auto text = unescape_json_string(object->raw(value));
      if (!text) return std::unexpected(ParseError::invalid_text_encoding);
      (key == "timestamp" ? common.timestamp : common.text) = std::move(*text);
    }
  }
  if (!has_major || !has_minor || !has_type || !has_id || !has_sender || !has_message_id) {
    return std::unexpected(ParseError::missing_member);
  }
  if (common.major != 2) return std::unexpected(ParseError::unsupported_major);
  if (common.sender != expected_sender) return std::unexpected(ParseError::unexpected_sender);
  return common;
}

std::expected<ChatMessage, int32_t> parse_chat(const Frame& frame,
                                               const core::Uuid& expected_sender) {
  if (frame.type != FrameKind::chat) return std::unexpected(ParseError::invalid_value);
  auto common = parse_common_header(frame, "CHAT", expected_sender);
  if (!common) return std::unexpected(common.error());
  if (!common->timestamp || !common->text) return std::unexpected(ParseError::missing_member);
  const auto timestamp = parse_utc_timestamp(*common->timestamp);
  if (!timestamp) return std::unexpected(ParseError::invalid_timestamp);
  if (common->text->size() > kMaxChatTextBytes) return std::unexpected(ParseError::text_too_long);
  if (!valid_chat_text(*common->text)) return std::unexpected(ParseError::invalid_text);
  return ChatMessage{common->major,           common->minor,      common->id,
                     common->sender,          common->message_id, *timestamp,
                     std::move(*common->text)};
}

std::expected<ChatAck, int32_t> parse_chat_ack(const Frame& frame,
                                               const core::Uuid& expected_sender) {
  if (frame.type != FrameKind::chat_ack) return std::unexpected(ParseError::invalid_value);
  auto common = parse_common_header(frame, "CHAT_ACK", expected_sender);
  if (!common) return std::unexpected(common.error());
  if (!common->correlation_id) return std::unexpected(ParseError::missing_member);
  return ChatAck{common->major,  common->minor,           common->id,
                 common->sender, *common->correlation_id, common->message_id};
}

}  // namespace velmorine::protocol
