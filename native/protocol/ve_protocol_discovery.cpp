// VEProtocol: discovery announcements.

#include <limits>

#include "native/protocol/discovery_announcement.h"
#include "native/protocol/json_text.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine {

namespace {

// Bridge text arrives as UTF-8; text that is not valid UTF-8 counts as empty, which the
// writer then refuses.
std::string utf8_or_empty(std::string_view text) {
  return protocol::scan_utf8(text).valid ? std::string(text) : std::string();
}

}  // namespace

std::optional<std::vector<uint8_t>> VEProtocol::discoveryWithID(
    std::string_view id, std::string_view name, std::string_view fingerprint,
    std::string_view nonce, uint64_t port, uint64_t capabilities, uint64_t sequence) {
  const auto device_id = core::Uuid::parse(id);
  if (!device_id) return std::nullopt;
  if (port > std::numeric_limits<uint16_t>::max()) return std::nullopt;
  if (capabilities > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  protocol::DiscoveryAnnouncement announcement;
  announcement.wire_major = protocol::kDiscoveryWireMajor;
  announcement.wire_minor = protocol::kDiscoveryWireMinor;
  announcement.device_id = *device_id;
  announcement.display_name_utf8 = utf8_or_empty(name);
  announcement.tcp_port = static_cast<uint16_t>(port);
  announcement.secure_channel = std::string(protocol::kDiscoverySecureChannel);
  announcement.public_key_fingerprint = utf8_or_empty(fingerprint);
  announcement.process_nonce = utf8_or_empty(nonce);
  announcement.capabilities = static_cast<uint32_t>(capabilities);
  announcement.sequence = sequence;
  announcement.platform = protocol::kPlatformLinux;
  const auto text = protocol::serialize_discovery(announcement);
  if (!text || text->empty()) return std::nullopt;
  return std::vector<uint8_t>(text->begin(), text->end());
}

std::optional<VEAnnouncement> VEProtocol::parseDiscovery(std::span<const uint8_t> datagram,
                                                         std::string_view localID) {
  const auto local_id = core::Uuid::parse(localID);
  if (!local_id) return std::nullopt;
  const auto result = protocol::parse_discovery(datagram, *local_id);
  if (result.status != protocol::DiscoveryStatus::accepted || !result.announcement) {
    return std::nullopt;
  }
  return VEAnnouncement(*result.announcement);
}

}  // namespace velmorine
