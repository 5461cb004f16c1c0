#include "native/protocol/hello_frames.h"

#include "native/protocol/json_text.h"

namespace velmorine::protocol {
namespace {

void append_string_member(std::string& out, std::string_view key, std::string_view value) {
  out += ',';
  append_json_key(out, key);
  out += '"';
  out += value;
  out += '"';
}

std::optional<core::Uuid> read_uuid(const FlatObject& object, int32_t value) {
  if (!object.is_string(value)) return std::nullopt;
  const std::string_view raw = object.raw(value);
  if (raw.find('\\') != std::string_view::npos) return std::nullopt;
  return parse_canonical_uuid(raw);
}

}  // namespace

bool is_process_nonce(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string_view hello_purpose_name(HelloPurpose purpose) {
  return purpose == HelloPurpose::control ? "control" : "data";
}

std::optional<Frame> serialize_hello(const Hello& hello) {
  const bool capability = hello.durable_ack_v1 || hello.notify_v1;
  if (hello.major != 2 || hello.id.is_nil() || hello.sender.is_nil() || hello.device_id.is_nil() ||
      hello.sender != hello.device_id || !is_process_nonce(hello.process_nonce) ||
      (capability && hello.purpose != HelloPurpose::control)) {
    return std::nullopt;
  }
  std::string out = "{";
  append_json_key(out, "major");
  out += std::to_string(hello.major);
  out += ',';
  append_json_key(out, "minor");
  out += std::to_string(hello.minor);
  append_string_member(out, "type", "HELLO");
  append_string_member(out, "id", hello.id.to_string());
  append_string_member(out, "sender", hello.sender.to_string());
  append_string_member(out, "device_id", hello.device_id.to_string());
  append_string_member(out, "process_nonce", hello.process_nonce);
  append_string_member(out, "purpose", hello_purpose_name(hello.purpose));
  if (hello.durable_ack_v1) out += R"(,"durable_ack_v1":1)";
  if (hello.notify_v1) out += R"(,"notify_v1":1)";
  out += '}';
  return Frame{FrameKind::hello, std::move(out), {}};
}

std::expected<Hello, int32_t> validate_hello(const Frame& frame,
                                             const HelloExpectation& expectation) {
  const std::string_view header = frame.header_utf8;
  if (!frame.payload.empty()) return std::unexpected(HelloError::payload_not_empty);
  if (header.empty() || header.size() > kMaxFrameHeaderLength) {
    return std::unexpected(HelloError::malformed);
  }
  const auto object = scan_flat_object(header, header.size() + 1);
  if (!object) return std::unexpected(static_cast<int32_t>(object.error()));
  if (object->tokens.size() < 2) return std::unexpected(HelloError::missing_member);

  Hello hello;
  // One bit per required member, in the order of the header.
  enum : unsigned {
    kMajor = 1,
    kMinor = 2,
    kType = 4,
    kId = 8,
    kSender = 16,
    kDeviceId = 32,
    kNonce = 64,
    kPurpose = 128,
    kAll = 255
  };
  unsigned seen = 0;
  for (const FlatMember& member : object->members) {
    const std::string_view key = member.key;
    const int32_t value = member.value;
    const std::string_view raw = object->raw(value);
    if (key == "type") {
      if (!object->is_string(value) || raw != "HELLO") {
        return std::unexpected(HelloError::invalid_value);
      }
      seen |= kType;
    } else if (key == "major" || key == "minor") {
      const auto number = object->is_primitive(value) ? parse_decimal_u16(raw) : std::nullopt;
      if (!number) return std::unexpected(HelloError::invalid_value);
      (key == "major" ? hello.major : hello.minor) = *number;
      seen |= key == "major" ? kMajor : kMinor;
    } else if (key == "id" || key == "sender" || key == "device_id") {
      const auto uuid = read_uuid(*object, value);
      if (!uuid) return std::unexpected(HelloError::invalid_value);
      if (key == "id") {
        hello.id = *uuid;
        seen |= kId;
      } else if (key == "sender") {
        hello.sender = *uuid;
        seen |= kSender;
      } else {
        hello.device_id = *uuid;
        seen |= kDeviceId;
      }
    } else if (key == "process_nonce") {
      if (!object->is_string(value) || !is_process_nonce(raw)) {
        return std::unexpected(HelloError::invalid_value);
      }
      hello.process_nonce = std::string(raw);
      seen |= kNonce;
    } else if (key == "purpose") {
      if (!object->is_string(value) || (raw != "control" && raw != "data")) {
        return std::unexpected(HelloError::invalid_value);
      }
      hello.purpose = raw == "control" ? HelloPurpose::control : HelloPurpose::data;
      seen |= kPurpose;
    } else if (key == "durable_ack_v1" || key == "notify_v1") {
      if (!object->is_primitive(value) || (raw != "0" && raw != "1")) {
        return std::unexpected(HelloError::invalid_value);
      }
      (key == "durable_ack_v1" ? hello.durable_ack_v1 : hello.notify_v1) = raw == "1";
    }
  }
  if (seen != kAll) return std::unexpected(HelloError::missing_member);
  if (hello.major != 2) return std::unexpected(HelloError::unsupported_major);
  if (hello.purpose == HelloPurpose::data && (hello.durable_ack_v1 || hello.notify_v1)) {
    return std::unexpected(HelloError::invalid_value);
  }
  if (!expectation.is_set) return std::unexpected(HelloError::expectation_unset);
  if (hello.sender != hello.device_id || hello.device_id != expectation.device_id) {
    return std::unexpected(HelloError::unexpected_device);
  }
  if (hello.process_nonce != expectation.process_nonce) {
    return std::unexpected(HelloError::unexpected_nonce);
  }
  if (hello.purpose != expectation.purpose) return std::unexpected(HelloError::unexpected_purpose);
  return hello;
}

}  // namespace velmorine::protocol
