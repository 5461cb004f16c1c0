// The printable fingerprint of a public key.
#pragma once

#include <cstddef>
#include <cstdint>

// SHA-256 of the key as lower-case hex byte pairs joined by ":" and ended by a zero
// byte: NOISE_FINGERPRINT_BASIC prints the first 16 digest bytes (capacity 48),
// NOISE_FINGERPRINT_FULL all 32 (capacity 96).
int noise_format_fingerprint(int fingerprint_type, char* buffer, size_t len,
                             const uint8_t* public_key, size_t public_key_len);
