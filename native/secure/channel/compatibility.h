// Which peers this build can talk to. The discovery check is declared with the announcement
// it judges, in the protocol layer below this library, and is reached through this header.
#pragma once

#include <cstdint>

#include "native/protocol/discovery_announcement.h"

namespace velmorine::protocol {

// True for wire major 2 only.
bool is_compatible(uint32_t wire_major);

}  // namespace velmorine::protocol
