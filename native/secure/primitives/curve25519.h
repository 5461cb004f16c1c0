#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

inline constexpr std::size_t kCurve25519KeyLength = 32;

// X25519 (RFC 7748): output = scalar * point on the Montgomery u-line, 32-byte little-endian
// values. The scalar is clamped here and the point's top bit ignored, as the RFC requires.
// A low-order point yields 32 zero bytes; callers that must refuse those check the output.
void curve25519_donna(std::uint8_t output[kCurve25519KeyLength],
                      const std::uint8_t scalar[kCurve25519KeyLength],
                      const std::uint8_t point[kCurve25519KeyLength]);

}  // namespace velmorine::secure
