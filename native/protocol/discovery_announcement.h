#pragma once

// The discovery announcement: the one JSON object that every device sends in its UDP discovery
// datagrams, its writer, its strict reader and the compatibility test.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "native/protocol/uuid.h"
#include "native/protocol/velsecure_channel_name.h"

namespace velmorine::protocol {

inline constexpr size_t kDiscoveryMaxDatagram = 8192;
inline constexpr std::string_view kDiscoveryMagic = "VELMORINE_DISCOVERY";
inline constexpr std::string_view kDiscoverySecureChannel = velsecure_v1_channel;
inline constexpr uint16_t kDiscoveryWireMajor = 2;
inline constexpr uint16_t kDiscoveryWireMinor = 0;

// Platform numbers; each has a wire name ("unknown", "windows", "linux", "ios", "android",
// "macos").
inline constexpr int32_t kPlatformUnknown = 0;
inline constexpr int32_t kPlatformWindows = 1;
inline constexpr int32_t kPlatformLinux = 2;
inline constexpr int32_t kPlatformIos = 3;
inline constexpr int32_t kPlatformAndroid = 4;
inline constexpr int32_t kPlatformMacos = 5;

struct DiscoveryAnnouncement {
  uint16_t wire_major = 0;
  uint16_t wire_minor = 0;
  core::Uuid device_id;
  std::string display_name_utf8;
  uint16_t tcp_port = 0;
  std::string secure_channel;
  std::string public_key_fingerprint;  // 64 lower-case hexadecimal digits
  std::string process_nonce;           // 64 lower-case hexadecimal digits
  uint32_t capabilities = 0;
  uint64_t sequence = 0;  // at most 2^53 - 1 on the wire
  int32_t platform = kPlatformUnknown;

  friend bool operator==(const DiscoveryAnnouncement&, const DiscoveryAnnouncement&) = default;
};

// Outcome of reading a datagram; the numbers are part of the interface.
enum class DiscoveryStatus : uint8_t {
  accepted = 0,
  empty = 1,
  too_long = 2,  // more than 8192 bytes
  not_utf8 = 3,
  malformed = 4,      // tokenizing, top-level object, key placement, key text
  too_complex = 5,    // more than 256 tokens, or deeper than 16 ancestors
  duplicate_key = 6,  // within one object, at any depth
  missing_key = 7,
  invalid_value = 8,          // wrong kind or out of range
  own_device = 9,             // carries the local device identifier
  incompatible_version = 10,  // wire version other than 2.0
  incompatible_channel = 11,  // secure channel other than "velsecure-v1"
};

struct DiscoveryParseResult {
  DiscoveryStatus status = DiscoveryStatus::malformed;
  std::optional<DiscoveryAnnouncement> announcement;  // with `accepted` only
  std::optional<uint16_t> wire_major;                 // with `accepted` and `incompatible_version`
};

// The announcement text, or nothing when the record is not writable.
std::optional<std::string> serialize_discovery(const DiscoveryAnnouncement& announcement);

// Never throws; every refusal is a status.
DiscoveryParseResult parse_discovery(std::span<const uint8_t> datagram,
                                     const core::Uuid& local_device_id);

// True only for wire major 2 with the secure channel named exactly "velsecure-v1". The one
// declaration: the secure channel's compatibility header reaches it through this one.
bool is_discovery_compatible(uint16_t wire_major, std::string_view secure_channel);

// The wire name of a platform number, or nothing for a number without one.
std::optional<std::string_view> discovery_platform_name(int32_t platform);

}  // namespace velmorine::protocol
