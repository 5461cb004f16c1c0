#pragma once

// The ChaCha20 keystream implementations, exposed so that tests can run each one the machine
// supports against the same inputs.

#include <cstddef>
#include <cstdint>

#include "native/secure/primitives/cpu_features.h"

namespace velmorine::secure {

// XORs the keystream of blocks starting at the counter in words 12-13 into `length` bytes and
// advances the counter by the number of blocks begun (a partial last block counts).
using ChaChaXor = void (*)(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length);

void chacha_xor_portable(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                         std::size_t length);

#if VELMORINE_SECURE_X86_64
// Eight blocks at a time in AVX2 registers.
void chacha_xor_avx2(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                     std::size_t length);
// Sixteen blocks at a time in ZMM registers, a tail of up to eight in YMM ones (AVX-512F, VL
// and BW).
void chacha_xor_avx512(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                       std::size_t length);
#endif

ChaChaXor chacha_xor_for_cpu();

}  // namespace velmorine::secure
