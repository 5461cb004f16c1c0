#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorine::secure {

inline constexpr std::size_t kPoly1305KeyLength = 32;
inline constexpr std::size_t kPoly1305TagLength = 16;

// The one-time authenticator of RFC 8439 with the accumulator in 26-bit limbs.
struct Poly1305State {
  std::uint32_t r[5];
  std::uint32_t h[5];
  std::uint32_t pad[4];
  std::uint8_t buffer[16];
  std::uint32_t leftover;
};

// Clamps the r half of the key as the standard requires.
void poly1305_init(Poly1305State* state, const std::uint8_t key[kPoly1305KeyLength]);
void poly1305_update(Poly1305State* state, const std::uint8_t* data, std::size_t length);
// Writes the tag and wipes the state.
void poly1305_finish(Poly1305State* state, std::uint8_t tag[kPoly1305TagLength]);
void poly1305_auth(std::uint8_t tag[kPoly1305TagLength], const std::uint8_t* data,
                   std::size_t length, const std::uint8_t key[kPoly1305KeyLength]);
// 1 when the tags are equal, 0 otherwise, in time independent of their contents.
int poly1305_verify(const std::uint8_t a[kPoly1305TagLength],
                    const std::uint8_t b[kPoly1305TagLength]);
// 1 when the implementation reproduces fixed known tags, 0 otherwise.
int poly1305_power_on_self_test();

}  // namespace velmorine::secure
