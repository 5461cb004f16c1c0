#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

inline constexpr std::size_t kBlake2sHashLength = 32;
inline constexpr std::size_t kBlake2sBlockLength = 64;

// Unkeyed BLAKE2s-256 (RFC 7693). The last block of input stays in `buffer` until
// finalization, because only the final compression carries the last-block flag.
struct Blake2sState {
  std::uint32_t h[8];
  std::uint64_t counter;  // bytes compressed so far
  std::uint8_t buffer[kBlake2sBlockLength];
  std::uint32_t buffered;
};

void blake2s_reset(Blake2sState* state);
void blake2s_update(Blake2sState* state, const std::uint8_t* data, std::size_t length);
// Writes the 32-byte digest and wipes the state; reset it before hashing again.
void blake2s_finalize(Blake2sState* state, std::uint8_t digest[kBlake2sHashLength]);

}  // namespace velmorine::secure
