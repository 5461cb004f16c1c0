#pragma once

// HELLO, the first frame on every fresh secure channel: who is speaking, the nonce of its
// current process, what the channel is for and, on a control channel, optional capabilities.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "native/protocol/frame_codec.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

enum class HelloPurpose { control, data };

struct Hello {
  uint16_t major = 2;
  uint16_t minor = 0;
  core::Uuid id;  // fresh for every HELLO
  core::Uuid sender;
  core::Uuid device_id;       // must equal `sender`
  std::string process_nonce;  // 64 lower-case hexadecimal characters
  HelloPurpose purpose = HelloPurpose::control;
  bool durable_ack_v1 = false;  // capabilities: control channels only
  bool notify_v1 = false;
};

// What the connection is meant to reach; a HELLO must match it.
struct HelloExpectation {
  core::Uuid device_id;
  std::string process_nonce;
  HelloPurpose purpose = HelloPurpose::control;
  bool is_set = false;
};

struct HelloError {
  enum : int32_t {
    accepted = 0,
    malformed = 1,
    duplicate_key = 2,
    missing_member = 3,
    invalid_value = 4,  // also: a capability on a data HELLO
    payload_not_empty = 5,
    unsupported_major = 6,
    expectation_unset = 7,
    unexpected_device = 8,  // sender is not device_id, or not the expected device
    unexpected_nonce = 9,
    unexpected_purpose = 10,
  };
};

// Exactly 64 characters from 0-9 and a-f.
bool is_process_nonce(std::string_view text);

std::string_view hello_purpose_name(HelloPurpose purpose);

std::optional<Frame> serialize_hello(const Hello& hello);

// The parsed HELLO, or a `HelloError` code for the first failure met.
std::expected<Hello, int32_t> validate_hello(const Frame& frame,
                                             const HelloExpectation& expectation);

}  // namespace velmorine::protocol
