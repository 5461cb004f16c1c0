#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmorine::store {

// Standard Base64 with padding (RFC 4648, section 4); empty bytes are the empty text.
std::string encodeBase64(std::span<const std::uint8_t> bytes);

// The bytes of canonical padded Base64 text; nothing for any other text (characters outside the
// alphabet, white space, missing or misplaced padding, non-zero bits after the last byte).
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

}  // namespace velmorine::store
