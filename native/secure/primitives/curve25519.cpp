#include "native/secure/primitives/curve25519.h"

#include <cstring>

#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {

Curve25519Ladder curve25519_ladder_for_cpu() {
#if VELMORINE_SECURE_X86_64
  if (cpu_features().bmi2 && cpu_features().adx) return curve25519_ladder_adx;
#endif
#if defined(__SIZEOF_INT128__)
  return curve25519_ladder_radix51;
#else
  return curve25519_ladder_portable;
#endif
}

void curve25519_donna(std::uint8_t output[kCurve25519KeyLength],
                      const std::uint8_t scalar[kCurve25519KeyLength],
                      const std::uint8_t point[kCurve25519KeyLength]) {
  static const Curve25519Ladder ladder = curve25519_ladder_for_cpu();
  std::uint8_t clamped[kCurve25519KeyLength];
  std::memcpy(clamped, scalar, sizeof clamped);
  clamped[0] &= 248;
  clamped[31] &= 127;
  clamped[31] |= 64;
  ladder(output, clamped, point);
  wipe_secret(clamped, sizeof clamped);
}

}  // namespace velmorine::secure
