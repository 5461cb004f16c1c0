#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

// ChaCha20 in its original 64-bit-nonce form: words 12-13 hold a 64-bit block counter and
// words 14-15 the 64-bit nonce (RFC 8439's 96-bit-nonce layout with its 32-bit counter is
// the same block function with the split moved).
struct ChaChaState {
  std::uint32_t input[16];
};

// `key_bits` 256 takes a 32-byte key ("expand 32-byte k"); any other value takes a 16-byte
// key used twice ("expand 16-byte k").
void chacha_keysetup(ChaChaState* state, const std::uint8_t* key, std::uint32_t key_bits);
// `counter` is 8 little-endian bytes, or null for block 0.
void chacha_ivsetup(ChaChaState* state, const std::uint8_t nonce[8], const std::uint8_t* counter);
// XORs the keystream into `length` bytes; `input` and `output` may be the same buffer.
// Each call starts on a block boundary: the rest of a final partial block's keystream is
// dropped and the next call continues with the following block.
void chacha_encrypt_bytes(ChaChaState* state, const std::uint8_t* input, std::uint8_t* output,
                          std::size_t length);

}  // namespace velmorine::secure
