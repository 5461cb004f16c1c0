#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include <immintrin.h>

namespace velmorine::secure {
namespace {

constexpr std::uint64_t kLimbMask = 0x3ffffff;

// 26-bit limbs of a value below 2^130 + small, as five 64-bit words.
struct Limbs {
  std::uint64_t v[5];
};

// a * b mod 2^130 - 5, reduced back to 26-bit limbs (limb 1 may carry one extra bit).
Limbs multiply(const Limbs& a, const Limbs& b) {
  const std::uint64_t s1 = b.v[1] * 5, s2 = b.v[2] * 5, s3 = b.v[3] * 5, s4 = b.v[4] * 5;
  std::uint64_t d0 = a.v[0] * b.v[0] + a.v[1] * s4 + a.v[2] * s3 + a.v[3] * s2 + a.v[4] * s1;
  std::uint64_t d1 = a.v[0] * b.v[1] + a.v[1] * b.v[0] + a.v[2] * s4 + a.v[3] * s3 + a.v[4] * s2;
  std::uint64_t d2 =
      a.v[0] * b.v[2] + a.v[1] * b.v[1] + a.v[2] * b.v[0] + a.v[3] * s4 + a.v[4] * s3;
  std::uint64_t d3 =
      a.v[0] * b.v[3] + a.v[1] * b.v[2] + a.v[2] * b.v[1] + a.v[3] * b.v[0] + a.v[4] * s4;
  std::uint64_t d4 =
      a.v[0] * b.v[4] + a.v[1] * b.v[3] + a.v[2] * b.v[2] + a.v[3] * b.v[1] + a.v[4] * b.v[0];
  d1 += d0 >> 26;
  d0 &= kLimbMask;
  d2 += d1 >> 26;
  d1 &= kLimbMask;
  d3 += d2 >> 26;
  d2 &= kLimbMask;
  d4 += d3 >> 26;
  d3 &= kLimbMask;
  d0 += (d4 >> 26) * 5;
  d4 &= kLimbMask;
  d1 += d0 >> 26;
  d0 &= kLimbMask;
  return {{d0, d1, d2, d3, d4}};
}

// Five vectors of four 64-bit lanes: limb l of four independent accumulators.
struct Lanes {
  __m256i v[5];
};

inline __m256i broadcast(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }

// a * b lane by lane, with b's limbs and their multiples of 5 given, before any carry:
// each limb of the result stays below 2^59.
inline Lanes product(const Lanes& a, const __m256i b[5], const __m256i s[5]) {
  __m256i d0 = _mm256_mul_epu32(a.v[0], b[0]);
  __m256i d1 = _mm256_mul_epu32(a.v[0], b[1]);
  __m256i d2 = _mm256_mul_epu32(a.v[0], b[2]);
  __m256i d3 = _mm256_mul_epu32(a.v[0], b[3]);
  __m256i d4 = _mm256_mul_epu32(a.v[0], b[4]);
  d0 = _mm256_add_epi64(d0, _mm256_mul_epu32(a.v[1], s[4]));
  d1 = _mm256_add_epi64(d1, _mm256_mul_epu32(a.v[1], b[0]));
  d2 = _mm256_add_epi64(d2, _mm256_mul_epu32(a.v[1], b[1]));
  d3 = _mm256_add_epi64(d3, _mm256_mul_epu32(a.v[1], b[2]));
  d4 = _mm256_add_epi64(d4, _mm256_mul_epu32(a.v[1], b[3]));
  d0 = _mm256_add_epi64(d0, _mm256_mul_epu32(a.v[2], s[3]));
  d1 = _mm256_add_epi64(d1, _mm256_mul_epu32(a.v[2], s[4]));
  d2 = _mm256_add_epi64(d2, _mm256_mul_epu32(a.v[2], b[0]));
  d3 = _mm256_add_epi64(d3, _mm256_mul_epu32(a.v[2], b[1]));
  d4 = _mm256_add_epi64(d4, _mm256_mul_epu32(a.v[2], b[2]));
  d0 = _mm256_add_epi64(d0, _mm256_mul_epu32(a.v[3], s[2]));
  d1 = _mm256_add_epi64(d1, _mm256_mul_epu32(a.v[3], s[3]));
  d2 = _mm256_add_epi64(d2, _mm256_mul_epu32(a.v[3], s[4]));
  d3 = _mm256_add_epi64(d3, _mm256_mul_epu32(a.v[3], b[0]));
  d4 = _mm256_add_epi64(d4, _mm256_mul_epu32(a.v[3], b[1]));
  d0 = _mm256_add_epi64(d0, _mm256_mul_epu32(a.v[4], s[1]));
  d1 = _mm256_add_epi64(d1, _mm256_mul_epu32(a.v[4], s[2]));
  d2 = _mm256_add_epi64(d2, _mm256_mul_epu32(a.v[4], s[3]));
  d3 = _mm256_add_epi64(d3, _mm256_mul_epu32(a.v[4], s[4]));
  d4 = _mm256_add_epi64(d4, _mm256_mul_epu32(a.v[4], b[0]));
  return {{d0, d1, d2, d3, d4}};
}

inline Lanes sum(const Lanes& a, const Lanes& b) {
  Lanes r;
  for (int l = 0; l < 5; ++l) r.v[l] = _mm256_add_epi64(a.v[l], b.v[l]);
  return r;
}

// Two interleaved carry chains bring the limbs back below 2^27 without a full reduction.
inline Lanes carry(const Lanes& d_in) {
  const __m256i mask = broadcast(kLimbMask);
  __m256i d0 = d_in.v[0], d1 = d_in.v[1], d2 = d_in.v[2], d3 = d_in.v[3], d4 = d_in.v[4];
  __m256i c = _mm256_srli_epi64(d0, 26);
  d0 = _mm256_and_si256(d0, mask);
  d1 = _mm256_add_epi64(d1, c);
  c = _mm256_srli_epi64(d3, 26);
  d3 = _mm256_and_si256(d3, mask);
  d4 = _mm256_add_epi64(d4, c);
  c = _mm256_srli_epi64(d1, 26);
  d1 = _mm256_and_si256(d1, mask);
  d2 = _mm256_add_epi64(d2, c);
  c = _mm256_srli_epi64(d4, 26);
  d4 = _mm256_and_si256(d4, mask);
  d0 = _mm256_add_epi64(d0, _mm256_add_epi64(c, _mm256_slli_epi64(c, 2)));
  c = _mm256_srli_epi64(d2, 26);
  d2 = _mm256_and_si256(d2, mask);
  d3 = _mm256_add_epi64(d3, c);
  c = _mm256_srli_epi64(d0, 26);
  d0 = _mm256_and_si256(d0, mask);
  d1 = _mm256_add_epi64(d1, c);
  c = _mm256_srli_epi64(d3, 26);
  d3 = _mm256_and_si256(d3, mask);
  d4 = _mm256_add_epi64(d4, c);
  return {{d0, d1, d2, d3, d4}};
}

// Loads four blocks as limbs. The lanes come out in block order 0, 2, 1, 3, which the final
// multiplication by per-lane powers of r accounts for.
inline Lanes message(const std::uint8_t* m) {
  const __m256i mask = broadcast(kLimbMask);
  const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m));
  const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + 32));
  const __m256i low = _mm256_unpacklo_epi64(first, second);
  const __m256i high = _mm256_unpackhi_epi64(first, second);
  return {{_mm256_and_si256(low, mask), _mm256_and_si256(_mm256_srli_epi64(low, 26), mask),
           _mm256_and_si256(
               _mm256_or_si256(_mm256_srli_epi64(low, 52), _mm256_slli_epi64(high, 12)), mask),
           _mm256_and_si256(_mm256_srli_epi64(high, 14), mask),
           _mm256_or_si256(_mm256_srli_epi64(high, 40), broadcast(1ull << 24))}};
}

// `pairs` steps of eight blocks, h = (h + m) r^8 + m' r^4 with one carry, written out in
// assembly: the accumulators, the products and the message limbs then fit the sixteen
// registers, with the powers of r read from `constants` (r^4, 5 r^4, r^8, 5 r^8, the limb
// mask, the 2^128 bit), where the compiler's version spilled on every step.
inline void eight_block_steps(Lanes& acc, const std::uint8_t*& m, std::size_t pairs,
                              const __m256i constants[22]) {
  __m256i* h = acc.v;
  __asm__ volatile(
      "vmovdqa 0(%[h]), %%ymm0\n\t"
      "vmovdqa 32(%[h]), %%ymm1\n\t"
      "vmovdqa 64(%[h]), %%ymm2\n\t"
      "vmovdqa 96(%[h]), %%ymm3\n\t"
      "vmovdqa 128(%[h]), %%ymm4\n\t"
      "1:\n\t"
      "vmovdqu 64(%[m]), %%ymm10\n\t"
      "vmovdqu 96(%[m]), %%ymm15\n\t"
      "vpunpckhqdq %%ymm15, %%ymm10, %%ymm11\n\t"
      "vpunpcklqdq %%ymm15, %%ymm10, %%ymm10\n\t"
      "vpand 640(%[k]), %%ymm10, %%ymm12\n\t"
      "vpmuludq 0(%[k]), %%ymm12, %%ymm5\n\t"
      "vpmuludq 32(%[k]), %%ymm12, %%ymm6\n\t"
      "vpmuludq 64(%[k]), %%ymm12, %%ymm7\n\t"
      "vpmuludq 96(%[k]), %%ymm12, %%ymm8\n\t"
      "vpmuludq 128(%[k]), %%ymm12, %%ymm9\n\t"
      "vpsrlq $26, %%ymm10, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpmuludq 0(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 32(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 64(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 96(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 288(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpsrlq $52, %%ymm10, %%ymm12\n\t"
      "vpsllq $12, %%ymm11, %%ymm13\n\t"
      "vpor %%ymm13, %%ymm12, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpmuludq 0(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 32(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 64(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 256(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 288(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpsrlq $14, %%ymm11, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpmuludq 0(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 32(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 224(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 256(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 288(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpsrlq $40, %%ymm11, %%ymm12\n\t"
      "vpor 672(%[k]), %%ymm12, %%ymm12\n\t"
      "vpmuludq 0(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 192(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 224(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 256(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 288(%[k]), %%ymm12, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vmovdqu 0(%[m]), %%ymm10\n\t"
      "vmovdqu 32(%[m]), %%ymm15\n\t"
      "vpunpckhqdq %%ymm15, %%ymm10, %%ymm11\n\t"
      "vpunpcklqdq %%ymm15, %%ymm10, %%ymm10\n\t"
      "vpand 640(%[k]), %%ymm10, %%ymm12\n\t"
      "vpaddq %%ymm12, %%ymm0, %%ymm0\n\t"
      "vpsrlq $26, %%ymm10, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpaddq %%ymm12, %%ymm1, %%ymm1\n\t"
      "vpsrlq $52, %%ymm10, %%ymm12\n\t"
      "vpsllq $12, %%ymm11, %%ymm13\n\t"
      "vpor %%ymm13, %%ymm12, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpaddq %%ymm12, %%ymm2, %%ymm2\n\t"
      "vpsrlq $14, %%ymm11, %%ymm12\n\t"
      "vpand 640(%[k]), %%ymm12, %%ymm12\n\t"
      "vpaddq %%ymm12, %%ymm3, %%ymm3\n\t"
      "vpsrlq $40, %%ymm11, %%ymm12\n\t"
      "vpor 672(%[k]), %%ymm12, %%ymm12\n\t"
      "vpaddq %%ymm12, %%ymm4, %%ymm4\n\t"
      "vpmuludq 320(%[k]), %%ymm0, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 352(%[k]), %%ymm0, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 384(%[k]), %%ymm0, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 416(%[k]), %%ymm0, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 448(%[k]), %%ymm0, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 320(%[k]), %%ymm1, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 352(%[k]), %%ymm1, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 384(%[k]), %%ymm1, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 416(%[k]), %%ymm1, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 608(%[k]), %%ymm1, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 320(%[k]), %%ymm2, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 352(%[k]), %%ymm2, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 384(%[k]), %%ymm2, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 576(%[k]), %%ymm2, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 608(%[k]), %%ymm2, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 320(%[k]), %%ymm3, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpmuludq 352(%[k]), %%ymm3, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 544(%[k]), %%ymm3, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 576(%[k]), %%ymm3, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 608(%[k]), %%ymm3, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 320(%[k]), %%ymm4, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpmuludq 512(%[k]), %%ymm4, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm5, %%ymm5\n\t"
      "vpmuludq 544(%[k]), %%ymm4, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm6, %%ymm6\n\t"
      "vpmuludq 576(%[k]), %%ymm4, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm7, %%ymm7\n\t"
      "vpmuludq 608(%[k]), %%ymm4, %%ymm13\n\t"
      "vpaddq %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpsrlq $26, %%ymm5, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm5, %%ymm5\n\t"
      "vpaddq %%ymm14, %%ymm6, %%ymm6\n\t"
      "vpsrlq $26, %%ymm8, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm8, %%ymm8\n\t"
      "vpaddq %%ymm14, %%ymm9, %%ymm9\n\t"
      "vpsrlq $26, %%ymm6, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm6, %%ymm6\n\t"
      "vpaddq %%ymm14, %%ymm7, %%ymm7\n\t"
      "vpsrlq $26, %%ymm9, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm9, %%ymm9\n\t"
      "vpsllq $2, %%ymm14, %%ymm15\n\t"
      "vpaddq %%ymm15, %%ymm14, %%ymm14\n\t"
      "vpaddq %%ymm14, %%ymm5, %%ymm5\n\t"
      "vpsrlq $26, %%ymm7, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm7, %%ymm7\n\t"
      "vpaddq %%ymm14, %%ymm8, %%ymm8\n\t"
      "vpsrlq $26, %%ymm5, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm5, %%ymm5\n\t"
      "vpaddq %%ymm14, %%ymm6, %%ymm6\n\t"
      "vpsrlq $26, %%ymm8, %%ymm14\n\t"
      "vpand 640(%[k]), %%ymm8, %%ymm8\n\t"
      "vpaddq %%ymm14, %%ymm9, %%ymm9\n\t"
      "vmovdqa %%ymm5, %%ymm0\n\t"
      "vmovdqa %%ymm6, %%ymm1\n\t"
      "vmovdqa %%ymm7, %%ymm2\n\t"
      "vmovdqa %%ymm8, %%ymm3\n\t"
      "vmovdqa %%ymm9, %%ymm4\n\t"
      "addq $128, %[m]\n\t"
      "decq %[pairs]\n\t"
      "jnz 1b\n\t"
      "vmovdqa %%ymm0, 0(%[h])\n\t"
      "vmovdqa %%ymm1, 32(%[h])\n\t"
      "vmovdqa %%ymm2, 64(%[h])\n\t"
      "vmovdqa %%ymm3, 96(%[h])\n\t"
      "vmovdqa %%ymm4, 128(%[h])\n\t"
      : [m] "+r"(m), [pairs] "+r"(pairs)
      : [h] "r"(h), [k] "r"(constants)
      : "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
        "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

inline std::uint64_t lane_sum(__m256i v) {
  const __m128i folded = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(folded)) +
         static_cast<std::uint64_t>(_mm_extract_epi64(folded, 1));
}

// The vector run over count >= 4 blocks, leaving the last count % 4 to the caller.
[[gnu::noinline]] void vector_blocks(Poly1305State* state, const std::uint8_t* blocks,
                                     std::size_t count) {
  Limbs powers[5];  // r, r^2, r^3, r^4 and r^8
  powers[0] = {{state->r[0], state->r[1], state->r[2], state->r[3], state->r[4]}};
  powers[1] = multiply(powers[0], powers[0]);
  powers[2] = multiply(powers[1], powers[0]);
  powers[3] = multiply(powers[1], powers[1]);
  powers[4] = multiply(powers[3], powers[3]);
  const Limbs& r1 = powers[0];
  const Limbs& r2 = powers[1];
  const Limbs& r3 = powers[2];
  const Limbs& r4 = powers[3];
  const Limbs& r8 = powers[4];

  // r^4, 5 r^4, r^8, 5 r^8, the limb mask and the 2^128 bit, for the assembly.
  alignas(32) __m256i constants[22];
  for (int l = 0; l < 5; ++l) {
    constants[l] = broadcast(r4.v[l]);
    constants[5 + l] = broadcast(r4.v[l] * 5);
    constants[10 + l] = broadcast(r8.v[l]);
    constants[15 + l] = broadcast(r8.v[l] * 5);
  }
  constants[20] = broadcast(kLimbMask);
  constants[21] = broadcast(1ull << 24);
  const __m256i* step4 = constants;
  const __m256i* step4_5 = constants + 5;

  // Accumulator lanes hold blocks 4k, 4k+2, 4k+1, 4k+3; the running h joins lane 0.
  alignas(32) Lanes acc;
  for (int l = 0; l < 5; ++l) acc.v[l] = _mm256_set_epi64x(0, 0, 0, state->h[l]);

  // Two groups of four per step, ((acc + m) r^4 + m') r^4 = (acc + m) r^8 + m' r^4: the second
  // product does not wait for the first, and one carry serves both. One or two groups stay
  // for the single steps below.
  std::size_t groups = count / 4;
  const std::size_t pairs = (groups - 1) / 2;
  if (pairs != 0) eight_block_steps(acc, blocks, pairs, constants);
  groups -= 2 * pairs;
  for (; groups > 1; --groups, blocks += 64) {
    acc = carry(product(sum(acc, message(blocks)), step4, step4_5));
  }
  acc = sum(acc, message(blocks));
  blocks += 64;

  // The last group: lanes multiply by r^4, r^2, r^3, r^1 after their block order.
  __m256i last[5], last5[5];
  for (int l = 0; l < 5; ++l) {
    last[l] = _mm256_set_epi64x(static_cast<long long>(r1.v[l]), static_cast<long long>(r3.v[l]),
                                static_cast<long long>(r2.v[l]), static_cast<long long>(r4.v[l]));
    last5[l] = _mm256_add_epi64(last[l], _mm256_slli_epi64(last[l], 2));
  }
  acc = carry(product(acc, last, last5));

  std::uint64_t h[5];
  for (int l = 0; l < 5; ++l) h[l] = lane_sum(acc.v[l]);
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
  for (int l = 0; l < 5; ++l) state->h[l] = static_cast<std::uint32_t>(h[l]);

  wipe_secret(powers, sizeof powers);
  wipe_secret(constants, sizeof constants);
  _mm256_zeroall();
}

// Overwrites the stack below the caller, where the vector run left spilled powers of r.
[[gnu::noinline]] void scrub_stack() {
  alignas(32) std::uint8_t area[2048];
  wipe_secret(area, sizeof area);
}

}  // namespace

void poly1305_blocks_avx2(Poly1305State* state, const std::uint8_t* blocks, std::size_t count) {
  // Below a few groups of four the powers of r cost more than they save.
  if (count < 16) {
    poly1305_blocks_portable(state, blocks, count);
    return;
  }
  vector_blocks(state, blocks, count);
  scrub_stack();
  blocks += (count - count % 4) * 16;
  if (count % 4 != 0) poly1305_blocks_portable(state, blocks, count % 4);
}

}  // namespace velmorine::secure

#endif
