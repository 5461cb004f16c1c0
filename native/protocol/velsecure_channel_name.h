// The secure channel's name, spelled once for every layer: announcements carry it, the
// discovery check compares against it and the secure library offers it to its callers. It
// lives here, below the secure library, so the protocol layer sees it without reaching up.
#pragma once

namespace velmorine::protocol {

// "velsecure-v1" followed by zero bytes; the name itself is the 12 bytes before the first zero.
inline constexpr char velsecure_v1_channel[16] = "velsecure-v1";

}  // namespace velmorine::protocol
