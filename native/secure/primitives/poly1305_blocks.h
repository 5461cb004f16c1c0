#pragma once

// The Poly1305 block implementations, exposed so that tests can run each one the machine
// supports against the same inputs.

#include <cstddef>
#include <cstdint>

#include "native/secure/primitives/poly1305.h"

namespace velmorine::secure {

// Absorbs `count` full 16-byte blocks into the accumulator.
using Poly1305Blocks = void (*)(Poly1305State* state, const std::uint8_t* blocks,
                                std::size_t count);

void poly1305_blocks_portable(Poly1305State* state, const std::uint8_t* blocks, std::size_t count);

// Four blocks per step in AVX2 lanes, with r^2, r^3 and r^4 computed per call.
void poly1305_blocks_avx2(Poly1305State* state, const std::uint8_t* blocks, std::size_t count);

Poly1305Blocks poly1305_blocks_for_cpu();

}  // namespace velmorine::secure
