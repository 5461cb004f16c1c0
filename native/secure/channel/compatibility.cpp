#include "native/secure/channel/compatibility.h"

namespace velmorine::protocol {

namespace {
constexpr uint32_t kWireMajor = 2;
constexpr std::string_view kSecureChannelName = "velsecure-v1";
}  // namespace

bool is_discovery_compatible(uint32_t wire_major, std::string_view secure_channel) {
  return is_compatible(wire_major) && secure_channel == kSecureChannelName;
}

bool is_compatible(uint32_t wire_major) { return wire_major == kWireMajor; }

}  // namespace velmorine::protocol
