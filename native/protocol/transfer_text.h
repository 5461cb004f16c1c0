#pragma once

// Text rules shared by the transfer control and data frames: which byte strings may
// travel as transfer text, and the wire form of digests and tokens.

#include <cstddef>
#include <string_view>

namespace velmorine::protocol {

// The strict UTF-8 rule of the wire; inputs of 2^31 bytes or more are refused.
bool valid_utf8(std::string_view bytes);

// Valid UTF-8 of at most max_length bytes (at least one unless allow_empty) that holds
// no C0 control (U+0000 to U+001F), DEL or C1 control (U+007F to U+009F).
bool valid_transfer_text(std::string_view bytes, std::size_t max_length, bool allow_empty);

// Exactly 64 lower-case hexadecimal characters: a SHA-256 digest, a transfer token or
// a control session identifier.
bool is_hex_digest(std::string_view text);

}  // namespace velmorine::protocol
