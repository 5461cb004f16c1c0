#include "native/secure/channel/compatibility.h"

namespace velmorine::protocol {

bool is_compatible(uint32_t wire_major) { return wire_major == kDiscoveryWireMajor; }

}  // namespace velmorine::protocol
