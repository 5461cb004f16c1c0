#pragma once

// The X25519 implementations, exposed so that tests can run each one the machine supports
// against the same inputs. Each takes the scalar already clamped.

#include <cstdint>

#include "native/secure/primitives/cpu_features.h"

namespace velmorine::secure {

using Curve25519Ladder = void (*)(std::uint8_t output[32], const std::uint8_t clamped[32],
                                  const std::uint8_t point[32]);

// Sixteen 16-bit limbs in 64-bit integers: slow, but needs nothing beyond standard C++.
void curve25519_ladder_portable(std::uint8_t output[32], const std::uint8_t clamped[32],
                                const std::uint8_t point[32]);

#if defined(__SIZEOF_INT128__)
// Five 51-bit limbs with 128-bit products: the fast path wherever the compiler has them.
void curve25519_ladder_radix51(std::uint8_t output[32], const std::uint8_t clamped[32],
                               const std::uint8_t point[32]);
#endif

#if VELMORINE_SECURE_X86_64
// Four 64-bit limbs multiplied with MULX, ADCX and ADOX (BMI2 and ADX).
void curve25519_ladder_adx(std::uint8_t output[32], const std::uint8_t clamped[32],
                           const std::uint8_t point[32]);
#endif

Curve25519Ladder curve25519_ladder_for_cpu();

}  // namespace velmorine::secure
