#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

inline constexpr std::size_t kChaChaPolyKeyLength = 32;
inline constexpr std::size_t kChaChaPolyTagLength = 16;

// The ChaChaPoly AEAD as the Noise framework uses it (RFC 8439's construction with the
// 64-bit-nonce ChaCha20): the Poly1305 key is keystream block 0, the message is enciphered
// from block 1 on, and the tag covers the associated data and the ciphertext, each padded to
// 16 bytes, followed by both lengths as 64-bit little-endian values.

// Writes `length` ciphertext bytes and then the 16-byte tag to `output` (room for
// length + 16); `output` may be `plaintext`.
void chacha20_poly1305_seal(std::uint8_t* output, const std::uint8_t key[kChaChaPolyKeyLength],
                            std::uint64_t nonce, const std::uint8_t* associated_data,
                            std::size_t associated_length, const std::uint8_t* plaintext,
                            std::size_t length);

// Checks the tag ending `sealed` (`sealed_length` >= 16) before deciphering anything; on
// success writes sealed_length - 16 bytes to `output` (which may be `sealed`) and returns
// true. On failure `output` is left untouched.
bool chacha20_poly1305_open(std::uint8_t* output, const std::uint8_t key[kChaChaPolyKeyLength],
                            std::uint64_t nonce, const std::uint8_t* associated_data,
                            std::size_t associated_length, const std::uint8_t* sealed,
                            std::size_t sealed_length);

}  // namespace velmorine::secure
