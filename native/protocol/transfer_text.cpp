#include "native/protocol/transfer_text.h"

#include <cstdint>

#include "native/protocol/json_text.h"

namespace velmorine::protocol {

bool valid_utf8(std::string_view bytes) {
  if (bytes.size() >= (std::size_t{1} << 31)) return false;
  return scan_utf8(bytes).valid;
}

bool valid_transfer_text(std::string_view bytes, std::size_t max_length, bool allow_empty) {
  if (bytes.size() > max_length) return false;
  if (bytes.empty()) return allow_empty;
  if (!valid_utf8(bytes)) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    // U+0080 to U+009F are the only code points written C2 80 to C2 9F.
    if (byte == 0xC2 && i + 1 < bytes.size()) {
      const auto next = static_cast<std::uint8_t>(bytes[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace velmorine::protocol
