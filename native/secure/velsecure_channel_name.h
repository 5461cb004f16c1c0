// The secure channel's name as discovery announces it.
#pragma once

namespace velmorine::protocol {

// "velsecure-v1" followed by zero bytes; announcements compare against all 16 bytes.
extern const char velsecure_v1_channel[16];

}  // namespace velmorine::protocol
