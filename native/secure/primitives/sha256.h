#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

inline constexpr std::size_t kSha256HashLength = 32;
inline constexpr std::size_t kSha256BlockLength = 64;

// SHA-256 (FIPS 180-4).
struct Sha256State {
  std::uint32_t h[8];
  std::uint64_t length;  // bytes absorbed so far
  std::uint8_t buffer[kSha256BlockLength];
  std::uint32_t buffered;
};

void sha256_reset(Sha256State* state);
void sha256_update(Sha256State* state, const std::uint8_t* data, std::size_t length);
// Writes the digest and wipes the state; reset it before hashing again.
void sha256_finish(Sha256State* state, std::uint8_t digest[kSha256HashLength]);

}  // namespace velmorine::secure
