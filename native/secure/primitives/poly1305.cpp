#include "native/secure/primitives/poly1305.h"

#include <cstring>

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

constexpr std::uint32_t kLimbMask = 0x3ffffff;

// h = (h + m) * r mod 2^130 - 5 over `count` blocks; `high_bit` is 2^128 in limb 4's terms
// for full blocks and 0 for the padded last block, which carries its own 1 byte.
void absorb(Poly1305State* state, const std::uint8_t* m, std::size_t count,
            std::uint32_t high_bit) {
  const std::uint64_t r0 = state->r[0], r1 = state->r[1], r2 = state->r[2], r3 = state->r[3],
                      r4 = state->r[4];
  const std::uint64_t s1 = r1 * 5, s2 = r2 * 5, s3 = r3 * 5, s4 = r4 * 5;
  std::uint64_t h0 = state->h[0], h1 = state->h[1], h2 = state->h[2], h3 = state->h[3],
                h4 = state->h[4];
  for (; count != 0; --count, m += 16) {
    const std::uint32_t t0 = load_le32(m), t1 = load_le32(m + 4), t2 = load_le32(m + 8),
                        t3 = load_le32(m + 12);
    h0 += t0 & kLimbMask;
    h1 += ((t0 >> 26) | (t1 << 6)) & kLimbMask;
    h2 += ((t1 >> 20) | (t2 << 12)) & kLimbMask;
    h3 += ((t2 >> 14) | (t3 << 18)) & kLimbMask;
    h4 += (t3 >> 8) | high_bit;

    const std::uint64_t d0 = h0 * r0 + h1 * s4 + h2 * s3 + h3 * s2 + h4 * s1;
    std::uint64_t d1 = h0 * r1 + h1 * r0 + h2 * s4 + h3 * s3 + h4 * s2;
    std::uint64_t d2 = h0 * r2 + h1 * r1 + h2 * r0 + h3 * s4 + h4 * s3;
    std::uint64_t d3 = h0 * r3 + h1 * r2 + h2 * r1 + h3 * r0 + h4 * s4;
    std::uint64_t d4 = h0 * r4 + h1 * r3 + h2 * r2 + h3 * r1 + h4 * r0;

    d1 += d0 >> 26;
    h0 = d0 & kLimbMask;
    d2 += d1 >> 26;
    h1 = d1 & kLimbMask;
    d3 += d2 >> 26;
    h2 = d2 & kLimbMask;
    d4 += d3 >> 26;
    h3 = d3 & kLimbMask;
    h0 += (d4 >> 26) * 5;
    h4 = d4 & kLimbMask;
    h1 += h0 >> 26;
    h0 &= kLimbMask;
  }
  state->h[0] = static_cast<std::uint32_t>(h0);
  state->h[1] = static_cast<std::uint32_t>(h1);
  state->h[2] = static_cast<std::uint32_t>(h2);
  state->h[3] = static_cast<std::uint32_t>(h3);
  state->h[4] = static_cast<std::uint32_t>(h4);
}

Poly1305Blocks blocks_for_cpu() {
  static const Poly1305Blocks chosen = poly1305_blocks_for_cpu();
  return chosen;
}

}  // namespace

void poly1305_blocks_portable(Poly1305State* state, const std::uint8_t* blocks, std::size_t count) {
  absorb(state, blocks, count, 1u << 24);
}

Poly1305Blocks poly1305_blocks_for_cpu() {
#if VELMORINE_SECURE_X86_64
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512ifma) return poly1305_blocks_avx512ifma;
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) return poly1305_blocks_avx512;
  if (cpu.avx2) return poly1305_blocks_avx2;
#endif
  return poly1305_blocks_portable;
}

void poly1305_init(Poly1305State* state, const std::uint8_t key[kPoly1305KeyLength]) {
  // r &= 0x0ffffffc0ffffffc0ffffffc0fffffff
  const std::uint32_t t0 = load_le32(key) & 0x0fffffff, t1 = load_le32(key + 4) & 0x0ffffffc,
                      t2 = load_le32(key + 8) & 0x0ffffffc, t3 = load_le32(key + 12) & 0x0ffffffc;
  state->r[0] = t0 & kLimbMask;
  state->r[1] = ((t0 >> 26) | (t1 << 6)) & kLimbMask;
  state->r[2] = ((t1 >> 20) | (t2 << 12)) & kLimbMask;
  state->r[3] = ((t2 >> 14) | (t3 << 18)) & kLimbMask;
  state->r[4] = t3 >> 8;
  for (int i = 0; i < 5; ++i) state->h[i] = 0;
  for (int i = 0; i < 4; ++i) state->pad[i] = load_le32(key + 16 + 4 * i);
  std::memset(state->buffer, 0, sizeof state->buffer);
  state->leftover = 0;
}

void poly1305_update(Poly1305State* state, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  if (state->leftover != 0) {
    std::size_t take = 16 - state->leftover;
    if (take > length) take = length;
    std::memcpy(state->buffer + state->leftover, data, take);
    state->leftover += static_cast<std::uint32_t>(take);
    data += take;
    length -= take;
    if (state->leftover < 16) return;
    absorb(state, state->buffer, 1, 1u << 24);
    state->leftover = 0;
  }
  if (length >= 16) {
    const std::size_t whole = length & ~static_cast<std::size_t>(15);
    blocks_for_cpu()(state, data, whole / 16);
    data += whole;
    length -= whole;
  }
  if (length != 0) {
    std::memcpy(state->buffer, data, length);
    state->leftover = static_cast<std::uint32_t>(length);
  }
}

void poly1305_finish(Poly1305State* state, std::uint8_t tag[kPoly1305TagLength]) {
  if (state->leftover != 0) {
    state->buffer[state->leftover] = 1;
    std::memset(state->buffer + state->leftover + 1, 0, 15 - state->leftover);
    absorb(state, state->buffer, 1, 0);
  }

  // Carry fully, then subtract p when h >= p, choosing by mask rather than by branch.
  std::uint32_t h0 = state->h[0], h1 = state->h[1], h2 = state->h[2], h3 = state->h[3],
                h4 = state->h[4];
  std::uint32_t c;
  c = h1 >> 26;
  h1 &= kLimbMask;
  h2 += c;
  c = h2 >> 26;
  h2 &= kLimbMask;
  h3 += c;
  c = h3 >> 26;
  h3 &= kLimbMask;
  h4 += c;
  c = h4 >> 26;
  h4 &= kLimbMask;
  h0 += c * 5;
  c = h0 >> 26;
  h0 &= kLimbMask;
  h1 += c;

  std::uint32_t g0 = h0 + 5;
  c = g0 >> 26;
  g0 &= kLimbMask;
  std::uint32_t g1 = h1 + c;
  c = g1 >> 26;
  g1 &= kLimbMask;
  std::uint32_t g2 = h2 + c;
  c = g2 >> 26;
  g2 &= kLimbMask;
  std::uint32_t g3 = h3 + c;
  c = g3 >> 26;
  g3 &= kLimbMask;
  const std::uint32_t g4 = h4 + c - (1u << 26);

  // g4's top bit is set when h + 5 < 2^130, that is when h < p: keep h then.
  const std::uint32_t use_g = (g4 >> 31) - 1;
  h0 = (h0 & ~use_g) | (g0 & use_g);
  h1 = (h1 & ~use_g) | (g1 & use_g);
  h2 = (h2 & ~use_g) | (g2 & use_g);
  h3 = (h3 & ~use_g) | (g3 & use_g);
  h4 = (h4 & ~use_g) | (g4 & use_g);

  const std::uint32_t w0 = h0 | (h1 << 26);
  const std::uint32_t w1 = (h1 >> 6) | (h2 << 20);
  const std::uint32_t w2 = (h2 >> 12) | (h3 << 14);
  const std::uint32_t w3 = (h3 >> 18) | (h4 << 8);

  std::uint64_t f = static_cast<std::uint64_t>(w0) + state->pad[0];
  store_le32(tag, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w1) + state->pad[1] + (f >> 32);
  store_le32(tag + 4, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w2) + state->pad[2] + (f >> 32);
  store_le32(tag + 8, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w3) + state->pad[3] + (f >> 32);
  store_le32(tag + 12, static_cast<std::uint32_t>(f));

  wipe_secret(state, sizeof *state);
}

void poly1305_auth(std::uint8_t tag[kPoly1305TagLength], const std::uint8_t* data,
                   std::size_t length, const std::uint8_t key[kPoly1305KeyLength]) {
  Poly1305State state;
  poly1305_init(&state, key);
  poly1305_update(&state, data, length);
  poly1305_finish(&state, tag);
}

int poly1305_verify(const std::uint8_t a[kPoly1305TagLength],
                    const std::uint8_t b[kPoly1305TagLength]) {
  std::uint32_t difference = 0;
  for (std::size_t i = 0; i < kPoly1305TagLength; ++i) difference |= a[i] ^ b[i];
  // 1 when no bit differed: (0 - 1) >> 8 has bit 0 set, (1..255 - 1) >> 8 does not.
  return static_cast<int>(((difference - 1) >> 8) & 1);
}

}  // namespace velmorine::secure
