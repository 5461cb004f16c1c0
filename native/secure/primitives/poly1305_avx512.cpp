#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include "native/secure/primitives/avx512_intrinsics.h"

namespace velmorine::secure {
namespace {

// Numbers mod 2^130 - 5 in five 26-bit limbs, as in the portable and AVX2 code, eight per
// vector (one per 64-bit lane); the 32 x 32 -> 64-bit multiplies leave room for the sums.
constexpr std::uint64_t kLimbMask = 0x3ffffff;

inline __m512i broadcast(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }

struct Lanes {
  __m512i v[5];
};

// A multiplier with its limbs times 5: 2^130 is 5 mod p, so the parts of a product at 2^130
// and above fold back down times 5.
struct Multiplier {
  __m512i r[5], s[5];
};

inline Multiplier multiplier(const Lanes& b) {
  Multiplier m;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) {
    m.r[l] = b.v[l];
    m.s[l] = _mm512_add_epi64(b.v[l], _mm512_slli_epi64(b.v[l], 2));
  }
  return m;
}

inline Lanes no_products() {
  Lanes p;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) p.v[l] = _mm512_setzero_si512();
  return p;
}

inline __m512i multiply_add(__m512i sum, __m512i a, __m512i b) {
  return _mm512_add_epi64(sum, _mm512_mul_epu32(a, b));
}

// p += a * m, lane by lane, before any carry: a_i * b_j lands at limb i + j, or times 5 at
// limb i + j - 5.
inline void multiply_add(Lanes& p, const Lanes& a, const Multiplier& m) {
  const __m512i *r = m.r, *s = m.s;
  __m512i d0 = p.v[0], d1 = p.v[1], d2 = p.v[2], d3 = p.v[3], d4 = p.v[4];
  d0 = multiply_add(d0, a.v[0], r[0]);
  d1 = multiply_add(d1, a.v[0], r[1]);
  d2 = multiply_add(d2, a.v[0], r[2]);
  d3 = multiply_add(d3, a.v[0], r[3]);
  d4 = multiply_add(d4, a.v[0], r[4]);
  d0 = multiply_add(d0, a.v[1], s[4]);
  d1 = multiply_add(d1, a.v[1], r[0]);
  d2 = multiply_add(d2, a.v[1], r[1]);
  d3 = multiply_add(d3, a.v[1], r[2]);
  d4 = multiply_add(d4, a.v[1], r[3]);
  d0 = multiply_add(d0, a.v[2], s[3]);
  d1 = multiply_add(d1, a.v[2], s[4]);
  d2 = multiply_add(d2, a.v[2], r[0]);
  d3 = multiply_add(d3, a.v[2], r[1]);
  d4 = multiply_add(d4, a.v[2], r[2]);
  d0 = multiply_add(d0, a.v[3], s[2]);
  d1 = multiply_add(d1, a.v[3], s[3]);
  d2 = multiply_add(d2, a.v[3], s[4]);
  d3 = multiply_add(d3, a.v[3], r[0]);
  d4 = multiply_add(d4, a.v[3], r[1]);
  d0 = multiply_add(d0, a.v[4], s[1]);
  d1 = multiply_add(d1, a.v[4], s[2]);
  d2 = multiply_add(d2, a.v[4], s[3]);
  d3 = multiply_add(d3, a.v[4], s[4]);
  d4 = multiply_add(d4, a.v[4], r[0]);
  p = {{d0, d1, d2, d3, d4}};
}

// Two interleaved carry chains bring the limbs back below 2^27 without a full reduction.
inline Lanes reduce(const Lanes& p) {
  const __m512i mask = broadcast(kLimbMask);
  __m512i d0 = p.v[0], d1 = p.v[1], d2 = p.v[2], d3 = p.v[3], d4 = p.v[4];
  __m512i c = _mm512_srli_epi64(d0, 26);
  d0 = _mm512_and_si512(d0, mask);
  d1 = _mm512_add_epi64(d1, c);
  c = _mm512_srli_epi64(d3, 26);
  d3 = _mm512_and_si512(d3, mask);
  d4 = _mm512_add_epi64(d4, c);
  c = _mm512_srli_epi64(d1, 26);
  d1 = _mm512_and_si512(d1, mask);
  d2 = _mm512_add_epi64(d2, c);
  c = _mm512_srli_epi64(d4, 26);
  d4 = _mm512_and_si512(d4, mask);
  d0 = _mm512_add_epi64(d0, _mm512_add_epi64(c, _mm512_slli_epi64(c, 2)));
  c = _mm512_srli_epi64(d2, 26);
  d2 = _mm512_and_si512(d2, mask);
  d3 = _mm512_add_epi64(d3, c);
  c = _mm512_srli_epi64(d0, 26);
  d0 = _mm512_and_si512(d0, mask);
  d1 = _mm512_add_epi64(d1, c);
  c = _mm512_srli_epi64(d3, 26);
  d3 = _mm512_and_si512(d3, mask);
  d4 = _mm512_add_epi64(d4, c);
  return {{d0, d1, d2, d3, d4}};
}

inline Lanes multiply(const Lanes& a, const Lanes& b) {
  Lanes p = no_products();
  multiply_add(p, a, multiplier(b));
  return reduce(p);
}

inline Lanes sum(const Lanes& a, const Lanes& b) {
  Lanes out;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) out.v[l] = _mm512_add_epi64(a.v[l], b.v[l]);
  return out;
}

// Splits 128-bit halves into limbs and adds the 2^128 bit in the lanes `padded` selects.
inline Lanes limbs(__m512i low, __m512i high, __mmask8 padded) {
  const __m512i mask = broadcast(kLimbMask);
  const __m512i top = _mm512_srli_epi64(high, 40);
  return {{_mm512_and_si512(low, mask), _mm512_and_si512(_mm512_srli_epi64(low, 26), mask),
           // (low >> 52 | high << 12) & mask, in one ternary-logic step.
           _mm512_ternarylogic_epi64(_mm512_srli_epi64(low, 52), _mm512_slli_epi64(high, 12), mask,
                                     0xa8),
           _mm512_and_si512(_mm512_srli_epi64(high, 14), mask),
           _mm512_mask_or_epi64(top, padded, top, broadcast(1u << 24))}};
}

// Eight consecutive blocks, block j in lane j.
inline Lanes message(const std::uint8_t* m) {
  const __m512i first = _mm512_loadu_si512(m), second = _mm512_loadu_si512(m + 64);
  const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  return limbs(_mm512_permutex2var_epi64(first, even, second),
               _mm512_permutex2var_epi64(first, odd, second), 0xff);
}

// The first `count` (< 8) blocks at `m` in lanes 0..count-1, zero in the others; nothing past
// them is read.
inline Lanes partial_message(const std::uint8_t* m, unsigned count) {
  const unsigned words = 2 * count;
  const __mmask8 first_words = static_cast<__mmask8>((1u << (words < 8 ? words : 8)) - 1);
  const __mmask8 second_words = static_cast<__mmask8>((1u << (words > 8 ? words - 8 : 0)) - 1);
  const __m512i first = _mm512_maskz_loadu_epi64(first_words, m);
  const __m512i second = _mm512_maskz_loadu_epi64(second_words, m + 64);
  const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  return limbs(_mm512_permutex2var_epi64(first, even, second),
               _mm512_permutex2var_epi64(first, odd, second),
               static_cast<__mmask8>((1u << count) - 1));
}

inline __m512i lane_indices(int first, int step) {
  return _mm512_set_epi64(first + 7 * step, first + 6 * step, first + 5 * step, first + 4 * step,
                          first + 3 * step, first + 2 * step, first + step, first);
}

// Lane j takes power number index_j (0-based, so index k is r^(k+1)) from r^1..r^16; lanes
// outside `keep` are zero.
inline Lanes select_powers(const Lanes& low, const Lanes& high, __m512i index, __mmask8 keep) {
  Lanes out;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) {
    out.v[l] = _mm512_maskz_permutex2var_epi64(keep, low.v[l], index, high.v[l]);
  }
  return out;
}

inline Lanes broadcast_lane(const Lanes& a, int lane) {
  const __m512i index = broadcast(static_cast<std::uint64_t>(lane));
  Lanes out;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) out.v[l] = _mm512_permutexvar_epi64(index, a.v[l]);
  return out;
}

inline Lanes blend(__mmask8 take_b, const Lanes& a, const Lanes& b) {
  Lanes out;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) out.v[l] = _mm512_mask_blend_epi64(take_b, a.v[l], b.v[l]);
  return out;
}

// The whole run of count >= 8 blocks, laid out as in the IFMA code: lane j accumulates blocks
// j, j + 8, j + 16, ...; the last full group of eight and the count % 8 blocks after it are
// multiplied by the powers of r that put every lane in its place, and the lanes are summed.
[[gnu::noinline]] void vector_blocks(Poly1305State* state, const std::uint8_t* m,
                                     std::size_t count) {
  // r^1..r^8 in lanes 0..7, then r^9..r^16.
  const __m512i zero = _mm512_setzero_si512();
  const Lanes one = {{broadcast(1), zero, zero, zero, zero}};
  Lanes r;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) r.v[l] = broadcast(state->r[l]);
  const Lanes r2 = multiply(r, r);
  const Lanes r1_r2 = blend(0xaa, r, r2);
  const Lanes r1_r4 = multiply(r1_r2, blend(0xcc, one, r2));
  const Lanes low = multiply(r1_r4, blend(0xf0, one, broadcast_lane(r1_r4, 3)));
  const Lanes high = multiply(low, broadcast_lane(low, 7));
  const Multiplier r8 = multiplier(broadcast_lane(low, 7));
  const Multiplier r16 = multiplier(broadcast_lane(high, 7));

  Lanes acc;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) acc.v[l] = _mm512_maskz_set1_epi64(1, state->h[l]);

  // Groups before the last full one: two at a time as (acc + m) r^16 + m' r^8, so that the
  // second product does not wait for the first and one carry serves both.
  std::size_t groups = count / 8 - 1;
  for (; groups >= 2; groups -= 2, m += 256) {
    Lanes p = no_products();
    multiply_add(p, message(m + 128), r8);
    multiply_add(p, sum(acc, message(m)), r16);
    acc = reduce(p);
  }
  if (groups == 1) {
    Lanes p = no_products();
    multiply_add(p, sum(acc, message(m)), r8);
    acc = reduce(p);
    m += 128;
  }
  acc = sum(acc, message(m));
  m += 128;

  // With t = count % 8 blocks left, lane j of the last group needs r^(8 + t - j) and leftover
  // block j needs r^(t - j).
  const int t = static_cast<int>(count % 8);
  Lanes p = no_products();
  multiply_add(p, acc, multiplier(select_powers(low, high, lane_indices(7 + t, -1), 0xff)));
  if (t != 0) {
    const __mmask8 leftover = static_cast<__mmask8>((1u << t) - 1);
    multiply_add(p, partial_message(m, static_cast<unsigned>(t)),
                 multiplier(select_powers(low, high, lane_indices(t - 1, -1), leftover)));
  }
  acc = reduce(p);

  std::uint64_t h[5];
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) h[l] = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(acc.v[l]));
  h[1] += h[0] >> 26;
  h[0] &= kLimbMask;
  h[2] += h[1] >> 26;
  h[1] &= kLimbMask;
  h[3] += h[2] >> 26;
  h[2] &= kLimbMask;
  h[4] += h[3] >> 26;
  h[3] &= kLimbMask;
  h[0] += (h[4] >> 26) * 5;
  h[4] &= kLimbMask;
  h[1] += h[0] >> 26;
  h[0] &= kLimbMask;
#pragma GCC unroll 5
  for (int l = 0; l < 5; ++l) state->h[l] = static_cast<std::uint32_t>(h[l]);

  wipe_vector_registers();
}

// Overwrites the stack below the caller, where the vector run may have spilled powers of r; the
// area is larger than the run's stack frame.
[[gnu::noinline]] void scrub_stack() {
  alignas(64) std::uint8_t area[4096];
  wipe_secret(area, sizeof area);
}

}  // namespace

void poly1305_blocks_avx512(Poly1305State* state, const std::uint8_t* blocks, std::size_t count) {
  // The vector run needs one full group of eight, and its powers of r pay from two.
  if (count < 16) {
    poly1305_blocks_portable(state, blocks, count);
    return;
  }
  vector_blocks(state, blocks, count);
  scrub_stack();
}

}  // namespace velmorine::secure

#endif
