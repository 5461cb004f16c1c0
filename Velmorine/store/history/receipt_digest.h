#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velmorine::store::history {

// SHA-256 of a receipt text's UTF-8 bytes: what a repeat of a received message is matched by.
std::array<uint8_t, 32> receiptDigest(std::string_view receiptText);

}  // namespace velmorine::store::history
