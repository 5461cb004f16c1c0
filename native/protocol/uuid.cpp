#include "native/protocol/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace velmorine::core {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hyphen_offset(size_t offset) {
  return offset == 8 || offset == 13 || offset == 18 || offset == 23;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  size_t byte_index = 0;
  for (size_t offset = 0; offset < text.size();) {
    if (is_hyphen_offset(offset)) {
      if (text[offset] != '-') return std::nullopt;
      ++offset;
      continue;
    }
    // A pair never straddles a hyphen: every group has an even number of digits.
    const int high = hex_value(text[offset]);
    const int low = hex_value(text[offset + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[byte_index++] = static_cast<uint8_t>(high << 4 | low);
    offset += 2;
  }
  return Uuid(bytes);
}

Uuid Uuid::random() {
  Bytes bytes{};
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // Without the system random source no identifier can be trusted to be unique.
      std::abort();
    }
    filled += static_cast<size_t>(got);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::string Uuid::to_string() const {
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kLowerHex[bytes_[i] >> 4];
    text += kLowerHex[bytes_[i] & 0x0f];
  }
  return text;
}

bool Uuid::is_nil() const {
  for (uint8_t byte : bytes_) {
    if (byte != 0) return false;
  }
  return true;
}

}  // namespace velmorine::core
