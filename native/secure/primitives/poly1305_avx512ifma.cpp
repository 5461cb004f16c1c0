#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include "native/secure/primitives/avx512_intrinsics.h"

namespace velmorine::secure {
namespace {

// Numbers mod 2^130 - 5 in three limbs of 44, 44 and 42 bits, eight per vector (one per 64-bit
// lane). The multiply-add instructions take 52-bit inputs and give the low and the high 52
// bits of each 104-bit product, so limbs may run a few bits over their width between steps.
constexpr std::uint64_t kMask44 = (std::uint64_t{1} << 44) - 1;
constexpr std::uint64_t kMask42 = (std::uint64_t{1} << 42) - 1;
constexpr std::uint64_t kMask26 = (std::uint64_t{1} << 26) - 1;

inline __m512i broadcast(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }

struct Lanes {
  __m512i l0, l1, l2;
};

// A multiplier with its wrapped limbs: 2^132 = 4 * 2^130 is 20 mod p, so the parts of a
// product at 2^132 and above fold back down times 20.
struct Multiplier {
  __m512i r0, r1, r2, s1, s2;
};

inline Multiplier multiplier(const Lanes& r) {
  const __m512i twenty = broadcast(20);
  const __m512i zero = _mm512_setzero_si512();
  return {r.l0, r.l1, r.l2, _mm512_madd52lo_epu64(zero, r.l1, twenty),
          _mm512_madd52lo_epu64(zero, r.l2, twenty)};
}

// Partial sums of products: lo_k collects low halves at limb k, hi_k high halves that belong
// 52 bits above limb k.
struct Products {
  __m512i lo0, lo1, lo2, hi0, hi1, hi2;
};

inline Products no_products() {
  const __m512i zero = _mm512_setzero_si512();
  return {zero, zero, zero, zero, zero, zero};
}

inline void multiply_add(Products& p, const Lanes& a, const Multiplier& m) {
  p.lo0 = _mm512_madd52lo_epu64(p.lo0, a.l0, m.r0);
  p.hi0 = _mm512_madd52hi_epu64(p.hi0, a.l0, m.r0);
  p.lo1 = _mm512_madd52lo_epu64(p.lo1, a.l0, m.r1);
  p.hi1 = _mm512_madd52hi_epu64(p.hi1, a.l0, m.r1);
  p.lo2 = _mm512_madd52lo_epu64(p.lo2, a.l0, m.r2);
  p.hi2 = _mm512_madd52hi_epu64(p.hi2, a.l0, m.r2);
  p.lo0 = _mm512_madd52lo_epu64(p.lo0, a.l1, m.s2);
  p.hi0 = _mm512_madd52hi_epu64(p.hi0, a.l1, m.s2);
  p.lo1 = _mm512_madd52lo_epu64(p.lo1, a.l1, m.r0);
  p.hi1 = _mm512_madd52hi_epu64(p.hi1, a.l1, m.r0);
  p.lo2 = _mm512_madd52lo_epu64(p.lo2, a.l1, m.r1);
  p.hi2 = _mm512_madd52hi_epu64(p.hi2, a.l1, m.r1);
  p.lo0 = _mm512_madd52lo_epu64(p.lo0, a.l2, m.s1);
  p.hi0 = _mm512_madd52hi_epu64(p.hi0, a.l2, m.s1);
  p.lo1 = _mm512_madd52lo_epu64(p.lo1, a.l2, m.s2);
  p.hi1 = _mm512_madd52hi_epu64(p.hi1, a.l2, m.s2);
  p.lo2 = _mm512_madd52lo_epu64(p.lo2, a.l2, m.r0);
  p.hi2 = _mm512_madd52hi_epu64(p.hi2, a.l2, m.r0);
}

// Back to limbs a little over 44, 44 and 42 bits with one carry step per limb, the steps side by
// side. hi2 sits at 2^140 = 2^10 * 2^130, which is 5 * 2^10 at limb 0.
inline Lanes reduce(const Products& p) {
  const __m512i d0 = _mm512_madd52lo_epu64(p.lo0, p.hi2, broadcast(5 << 10));
  const __m512i d1 = _mm512_add_epi64(p.lo1, _mm512_slli_epi64(p.hi0, 8));
  const __m512i d2 = _mm512_add_epi64(p.lo2, _mm512_slli_epi64(p.hi1, 8));
  const __m512i mask44 = broadcast(kMask44);
  const __m512i c0 = _mm512_srli_epi64(d0, 44), c1 = _mm512_srli_epi64(d1, 44);
  const __m512i c2 = _mm512_srli_epi64(d2, 42);
  return {_mm512_madd52lo_epu64(_mm512_and_si512(d0, mask44), c2, broadcast(5)),
          _mm512_add_epi64(_mm512_and_si512(d1, mask44), c0),
          _mm512_add_epi64(_mm512_and_si512(d2, broadcast(kMask42)), c1)};
}

inline Lanes multiply(const Lanes& a, const Lanes& b) {
  Products p = no_products();
  multiply_add(p, a, multiplier(b));
  return reduce(p);
}

inline Lanes sum(const Lanes& a, const Lanes& b) {
  return {_mm512_add_epi64(a.l0, b.l0), _mm512_add_epi64(a.l1, b.l1), _mm512_add_epi64(a.l2, b.l2)};
}

// Splits 128-bit halves into limbs and adds the 2^128 bit in the lanes `padded` selects.
inline Lanes limbs(__m512i low, __m512i high, __mmask8 padded) {
  const __m512i mask44 = broadcast(kMask44);
  // (low >> 44 | high << 20) & mask, in one ternary-logic step.
  const __m512i middle = _mm512_ternarylogic_epi64(_mm512_srli_epi64(low, 44),
                                                   _mm512_slli_epi64(high, 20), mask44, 0xa8);
  const __m512i top = _mm512_srli_epi64(high, 24);
  return {_mm512_and_si512(low, mask44), middle,
          _mm512_mask_or_epi64(top, padded, top, broadcast(std::uint64_t{1} << 40))};
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
  return {_mm512_maskz_permutex2var_epi64(keep, low.l0, index, high.l0),
          _mm512_maskz_permutex2var_epi64(keep, low.l1, index, high.l1),
          _mm512_maskz_permutex2var_epi64(keep, low.l2, index, high.l2)};
}

inline Lanes broadcast_lane(const Lanes& a, int lane) {
  const __m512i index = broadcast(static_cast<std::uint64_t>(lane));
  return {_mm512_permutexvar_epi64(index, a.l0), _mm512_permutexvar_epi64(index, a.l1),
          _mm512_permutexvar_epi64(index, a.l2)};
}

inline Lanes blend(__mmask8 take_b, const Lanes& a, const Lanes& b) {
  return {_mm512_mask_blend_epi64(take_b, a.l0, b.l0), _mm512_mask_blend_epi64(take_b, a.l1, b.l1),
          _mm512_mask_blend_epi64(take_b, a.l2, b.l2)};
}

// The state's 26-bit limbs regrouped as 44, 44 and 42 bits (h may run a bit over).
inline void to_44_bit_limbs(const std::uint32_t v[5], std::uint64_t out[3]) {
  std::uint64_t t = v[0] + (std::uint64_t{v[1]} << 26);
  out[0] = t & kMask44;
  t = (t >> 44) + (std::uint64_t{v[2]} << 8) + (std::uint64_t{v[3]} << 34);
  out[1] = t & kMask44;
  out[2] = (t >> 44) + (std::uint64_t{v[4]} << 16);
}

// The whole run of count >= 8 blocks. Lane j accumulates blocks j, j + 8, j + 16, ...; the
// last full group of eight and the count % 8 blocks after it are multiplied by the powers of
// r that put every lane in its place, and the lanes are summed.
[[gnu::noinline]] void vector_blocks(Poly1305State* state, const std::uint8_t* m,
                                     std::size_t count) {
  std::uint64_t r44[3], h44[3];
  to_44_bit_limbs(state->r, r44);
  to_44_bit_limbs(state->h, h44);

  // r^1..r^8 in lanes 0..7, then r^9..r^16.
  const Lanes one = {broadcast(1), _mm512_setzero_si512(), _mm512_setzero_si512()};
  const Lanes r = {broadcast(r44[0]), broadcast(r44[1]), broadcast(r44[2])};
  const Lanes r2 = multiply(r, r);
  const Lanes r1_r2 = blend(0xaa, r, r2);
  const Lanes r1_r4 = multiply(r1_r2, blend(0xcc, one, r2));
  const Lanes low = multiply(r1_r4, blend(0xf0, one, broadcast_lane(r1_r4, 3)));
  const Lanes high = multiply(low, broadcast_lane(low, 7));
  const Multiplier r8 = multiplier(broadcast_lane(low, 7));
  const Multiplier r16 = multiplier(broadcast_lane(high, 7));

  Lanes acc = {_mm512_maskz_set1_epi64(1, static_cast<long long>(h44[0])),
               _mm512_maskz_set1_epi64(1, static_cast<long long>(h44[1])),
               _mm512_maskz_set1_epi64(1, static_cast<long long>(h44[2]))};

  // Groups before the last full one: two at a time as (acc + m) r^16 + m' r^8, so that the
  // second product does not wait for the first and one reduction serves both.
  std::size_t groups = count / 8 - 1;
  for (; groups >= 2; groups -= 2, m += 256) {
    Products p = no_products();
    multiply_add(p, message(m + 128), r8);
    multiply_add(p, sum(acc, message(m)), r16);
    acc = reduce(p);
  }
  if (groups == 1) {
    acc = multiply(sum(acc, message(m)), broadcast_lane(low, 7));
    m += 128;
  }
  acc = sum(acc, message(m));
  m += 128;

  // With t = count % 8 blocks left, lane j of the last group needs r^(8 + t - j) and leftover
  // block j needs r^(t - j).
  const int t = static_cast<int>(count % 8);
  Products p = no_products();
  multiply_add(p, acc, multiplier(select_powers(low, high, lane_indices(7 + t, -1), 0xff)));
  if (t != 0) {
    const __mmask8 leftover = static_cast<__mmask8>((1u << t) - 1);
    multiply_add(p, partial_message(m, static_cast<unsigned>(t)),
                 multiplier(select_powers(low, high, lane_indices(t - 1, -1), leftover)));
  }
  acc = reduce(p);

  std::uint64_t h0 = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(acc.l0));
  std::uint64_t h1 = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(acc.l1));
  std::uint64_t h2 = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(acc.l2));
  h1 += h0 >> 44;
  h0 &= kMask44;
  h2 += h1 >> 44;
  h1 &= kMask44;
  h0 += (h2 >> 42) * 5;
  h2 &= kMask42;
  h1 += h0 >> 44;
  h0 &= kMask44;
  h2 += h1 >> 44;
  h1 &= kMask44;
  state->h[0] = static_cast<std::uint32_t>(h0 & kMask26);
  state->h[1] = static_cast<std::uint32_t>(((h0 >> 26) | (h1 << 18)) & kMask26);
  state->h[2] = static_cast<std::uint32_t>((h1 >> 8) & kMask26);
  state->h[3] = static_cast<std::uint32_t>(((h1 >> 34) | (h2 << 10)) & kMask26);
  state->h[4] = static_cast<std::uint32_t>(h2 >> 16);

  wipe_secret(r44, sizeof r44);
  wipe_secret(h44, sizeof h44);
  wipe_vector_registers();
}

// Overwrites the stack below the caller, where the vector run may have spilled powers of r; the
// area is larger than the run's stack frame.
[[gnu::noinline]] void scrub_stack() {
  alignas(64) std::uint8_t area[2048];
  wipe_secret(area, sizeof area);
}

}  // namespace

void poly1305_blocks_avx512ifma(Poly1305State* state, const std::uint8_t* blocks,
                                std::size_t count) {
  // The vector run needs one full group of eight; at eight blocks the powers of r already
  // cost no more than the portable code.
  if (count < 8) {
    poly1305_blocks_portable(state, blocks, count);
    return;
  }
  vector_blocks(state, blocks, count);
  scrub_stack();
}

}  // namespace velmorine::secure

#endif
