// Which peers this build can talk to, as discovery announces them.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmorine::protocol {

// True only for wire major 2 with the secure channel named exactly "velsecure-v1".
bool is_discovery_compatible(uint32_t wire_major, std::string_view secure_channel);

// True for wire major 2 only.
bool is_compatible(uint32_t wire_major);

}  // namespace velmorine::protocol
