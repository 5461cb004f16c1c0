#pragma once

// The Poly1305 block implementations, exposed so that tests can run each one the machine
// supports against the same inputs.

#include <cstddef>
#include <cstdint>

#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305.h"

namespace velmorine::secure {

// Absorbs `count` full 16-byte blocks into the accumulator.
using Poly1305Blocks = void (*)(Poly1305State* state, const std::uint8_t* blocks,
                                std::size_t count);

void poly1305_blocks_portable(Poly1305State* state, const std::uint8_t* blocks, std::size_t count);

#if VELMORINE_SECURE_X86_64
// Four lanes of 26-bit limbs in AVX2 registers, eight blocks per step, with the powers of r
// computed per call.
void poly1305_blocks_avx2(Poly1305State* state, const std::uint8_t* blocks, std::size_t count);
// Eight lanes of 26-bit limbs in ZMM registers (AVX-512F, VL and BW, as every file named _avx512
// is compiled), sixteen blocks per step, with the powers of r computed per call.
void poly1305_blocks_avx512(Poly1305State* state, const std::uint8_t* blocks, std::size_t count);
// Eight lanes of 52-bit multiply-adds on 44-bit limbs (AVX-512F, VL and IFMA), sixteen blocks
// per step, with the powers of r computed per call.
void poly1305_blocks_avx512ifma(Poly1305State* state, const std::uint8_t* blocks,
                                std::size_t count);
#endif

Poly1305Blocks poly1305_blocks_for_cpu();

}  // namespace velmorine::secure
