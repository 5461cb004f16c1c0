#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include <immintrin.h>

namespace velmorine::secure {
namespace {

// Eight blocks side by side: vector i holds word i of each of the eight blocks.
// x = start + twenty rounds of start, over sixteen such vectors (32-byte aligned). Written out in
// assembly so that twelve words, two of the third row and two temporaries stay in the sixteen
// registers, the other two third-row words waiting in memory, which the compiler's own
// allocation of the intrinsics version does not manage.
inline void twenty_rounds(const __m256i start[16], __m256i x[16]) {
  static const __m256i rot16 =
      _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15, 14, 9, 8,
                      11, 10, 5, 4, 7, 6, 1, 0, 3, 2);
  static const __m256i rot8 = _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3,
                                              14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3);
  unsigned rounds;
  __asm__ volatile(
      "vmovdqa 0(%[start]), %%ymm0\n\t"
      "vmovdqa 32(%[start]), %%ymm1\n\t"
      "vmovdqa 64(%[start]), %%ymm2\n\t"
      "vmovdqa 96(%[start]), %%ymm3\n\t"
      "vmovdqa 128(%[start]), %%ymm4\n\t"
      "vmovdqa 160(%[start]), %%ymm5\n\t"
      "vmovdqa 192(%[start]), %%ymm6\n\t"
      "vmovdqa 224(%[start]), %%ymm7\n\t"
      "vmovdqa 384(%[start]), %%ymm12\n\t"
      "vmovdqa 416(%[start]), %%ymm13\n\t"
      "vmovdqa 448(%[start]), %%ymm14\n\t"
      "vmovdqa 480(%[start]), %%ymm15\n\t"
      "vmovdqa 256(%[start]), %%ymm8\n\t"
      "vmovdqa 288(%[start]), %%ymm9\n\t"
      "vmovdqa 320(%[start]), %%ymm10\n\t"
      "vmovdqa %%ymm10, 320(%[x])\n\t"
      "vmovdqa 352(%[start]), %%ymm11\n\t"
      "vmovdqa %%ymm11, 352(%[x])\n\t"
      "movl $10, %k[rounds]\n\t"
      "1:\n\t"
      "vpaddd %%ymm4, %%ymm0, %%ymm0\n\t"
      "vpaddd %%ymm5, %%ymm1, %%ymm1\n\t"
      "vpxor %%ymm0, %%ymm12, %%ymm12\n\t"
      "vpxor %%ymm1, %%ymm13, %%ymm13\n\t"
      "vpshufb %[rot16], %%ymm12, %%ymm12\n\t"
      "vpshufb %[rot16], %%ymm13, %%ymm13\n\t"
      "vpaddd %%ymm12, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm4, %%ymm4\n\t"
      "vpxor %%ymm9, %%ymm5, %%ymm5\n\t"
      "vpslld $12, %%ymm4, %%ymm10\n\t"
      "vpslld $12, %%ymm5, %%ymm11\n\t"
      "vpsrld $20, %%ymm4, %%ymm4\n\t"
      "vpsrld $20, %%ymm5, %%ymm5\n\t"
      "vpor %%ymm10, %%ymm4, %%ymm4\n\t"
      "vpor %%ymm11, %%ymm5, %%ymm5\n\t"
      "vpaddd %%ymm4, %%ymm0, %%ymm0\n\t"
      "vpaddd %%ymm5, %%ymm1, %%ymm1\n\t"
      "vpxor %%ymm0, %%ymm12, %%ymm12\n\t"
      "vpxor %%ymm1, %%ymm13, %%ymm13\n\t"
      "vpshufb %[rot8], %%ymm12, %%ymm12\n\t"
      "vpshufb %[rot8], %%ymm13, %%ymm13\n\t"
      "vpaddd %%ymm12, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm13, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm4, %%ymm4\n\t"
      "vpxor %%ymm9, %%ymm5, %%ymm5\n\t"
      "vpslld $7, %%ymm4, %%ymm10\n\t"
      "vpslld $7, %%ymm5, %%ymm11\n\t"
      "vpsrld $25, %%ymm4, %%ymm4\n\t"
      "vpsrld $25, %%ymm5, %%ymm5\n\t"
      "vpor %%ymm10, %%ymm4, %%ymm4\n\t"
      "vpor %%ymm11, %%ymm5, %%ymm5\n\t"
      "vmovdqa %%ymm8, 256(%[x])\n\t"
      "vmovdqa %%ymm9, 288(%[x])\n\t"
      "vmovdqa 320(%[x]), %%ymm8\n\t"
      "vmovdqa 352(%[x]), %%ymm9\n\t"
      "vpaddd %%ymm6, %%ymm2, %%ymm2\n\t"
      "vpaddd %%ymm7, %%ymm3, %%ymm3\n\t"
      "vpxor %%ymm2, %%ymm14, %%ymm14\n\t"
      "vpxor %%ymm3, %%ymm15, %%ymm15\n\t"
      "vpshufb %[rot16], %%ymm14, %%ymm14\n\t"
      "vpshufb %[rot16], %%ymm15, %%ymm15\n\t"
      "vpaddd %%ymm14, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm15, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm6, %%ymm6\n\t"
      "vpxor %%ymm9, %%ymm7, %%ymm7\n\t"
      "vpslld $12, %%ymm6, %%ymm10\n\t"
      "vpslld $12, %%ymm7, %%ymm11\n\t"
      "vpsrld $20, %%ymm6, %%ymm6\n\t"
      "vpsrld $20, %%ymm7, %%ymm7\n\t"
      "vpor %%ymm10, %%ymm6, %%ymm6\n\t"
      "vpor %%ymm11, %%ymm7, %%ymm7\n\t"
      "vpaddd %%ymm6, %%ymm2, %%ymm2\n\t"
      "vpaddd %%ymm7, %%ymm3, %%ymm3\n\t"
      "vpxor %%ymm2, %%ymm14, %%ymm14\n\t"
      "vpxor %%ymm3, %%ymm15, %%ymm15\n\t"
      "vpshufb %[rot8], %%ymm14, %%ymm14\n\t"
      "vpshufb %[rot8], %%ymm15, %%ymm15\n\t"
      "vpaddd %%ymm14, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm15, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm6, %%ymm6\n\t"
      "vpxor %%ymm9, %%ymm7, %%ymm7\n\t"
      "vpslld $7, %%ymm6, %%ymm10\n\t"
      "vpslld $7, %%ymm7, %%ymm11\n\t"
      "vpsrld $25, %%ymm6, %%ymm6\n\t"
      "vpsrld $25, %%ymm7, %%ymm7\n\t"
      "vpor %%ymm10, %%ymm6, %%ymm6\n\t"
      "vpor %%ymm11, %%ymm7, %%ymm7\n\t"
      "vpaddd %%ymm5, %%ymm0, %%ymm0\n\t"
      "vpaddd %%ymm6, %%ymm1, %%ymm1\n\t"
      "vpxor %%ymm0, %%ymm15, %%ymm15\n\t"
      "vpxor %%ymm1, %%ymm12, %%ymm12\n\t"
      "vpshufb %[rot16], %%ymm15, %%ymm15\n\t"
      "vpshufb %[rot16], %%ymm12, %%ymm12\n\t"
      "vpaddd %%ymm15, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm12, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm5, %%ymm5\n\t"
      "vpxor %%ymm9, %%ymm6, %%ymm6\n\t"
      "vpslld $12, %%ymm5, %%ymm10\n\t"
      "vpslld $12, %%ymm6, %%ymm11\n\t"
      "vpsrld $20, %%ymm5, %%ymm5\n\t"
      "vpsrld $20, %%ymm6, %%ymm6\n\t"
      "vpor %%ymm10, %%ymm5, %%ymm5\n\t"
      "vpor %%ymm11, %%ymm6, %%ymm6\n\t"
      "vpaddd %%ymm5, %%ymm0, %%ymm0\n\t"
      "vpaddd %%ymm6, %%ymm1, %%ymm1\n\t"
      "vpxor %%ymm0, %%ymm15, %%ymm15\n\t"
      "vpxor %%ymm1, %%ymm12, %%ymm12\n\t"
      "vpshufb %[rot8], %%ymm15, %%ymm15\n\t"
      "vpshufb %[rot8], %%ymm12, %%ymm12\n\t"
      "vpaddd %%ymm15, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm12, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm5, %%ymm5\n\t"
      "vpxor %%ymm9, %%ymm6, %%ymm6\n\t"
      "vpslld $7, %%ymm5, %%ymm10\n\t"
      "vpslld $7, %%ymm6, %%ymm11\n\t"
      "vpsrld $25, %%ymm5, %%ymm5\n\t"
      "vpsrld $25, %%ymm6, %%ymm6\n\t"
      "vpor %%ymm10, %%ymm5, %%ymm5\n\t"
      "vpor %%ymm11, %%ymm6, %%ymm6\n\t"
      "vmovdqa %%ymm8, 320(%[x])\n\t"
      "vmovdqa %%ymm9, 352(%[x])\n\t"
      "vmovdqa 256(%[x]), %%ymm8\n\t"
      "vmovdqa 288(%[x]), %%ymm9\n\t"
      "vpaddd %%ymm7, %%ymm2, %%ymm2\n\t"
      "vpaddd %%ymm4, %%ymm3, %%ymm3\n\t"
      "vpxor %%ymm2, %%ymm13, %%ymm13\n\t"
      "vpxor %%ymm3, %%ymm14, %%ymm14\n\t"
      "vpshufb %[rot16], %%ymm13, %%ymm13\n\t"
      "vpshufb %[rot16], %%ymm14, %%ymm14\n\t"
      "vpaddd %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm14, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm7, %%ymm7\n\t"
      "vpxor %%ymm9, %%ymm4, %%ymm4\n\t"
      "vpslld $12, %%ymm7, %%ymm10\n\t"
      "vpslld $12, %%ymm4, %%ymm11\n\t"
      "vpsrld $20, %%ymm7, %%ymm7\n\t"
      "vpsrld $20, %%ymm4, %%ymm4\n\t"
      "vpor %%ymm10, %%ymm7, %%ymm7\n\t"
      "vpor %%ymm11, %%ymm4, %%ymm4\n\t"
      "vpaddd %%ymm7, %%ymm2, %%ymm2\n\t"
      "vpaddd %%ymm4, %%ymm3, %%ymm3\n\t"
      "vpxor %%ymm2, %%ymm13, %%ymm13\n\t"
      "vpxor %%ymm3, %%ymm14, %%ymm14\n\t"
      "vpshufb %[rot8], %%ymm13, %%ymm13\n\t"
      "vpshufb %[rot8], %%ymm14, %%ymm14\n\t"
      "vpaddd %%ymm13, %%ymm8, %%ymm8\n\t"
      "vpaddd %%ymm14, %%ymm9, %%ymm9\n\t"
      "vpxor %%ymm8, %%ymm7, %%ymm7\n\t"
      "vpxor %%ymm9, %%ymm4, %%ymm4\n\t"
      "vpslld $7, %%ymm7, %%ymm10\n\t"
      "vpslld $7, %%ymm4, %%ymm11\n\t"
      "vpsrld $25, %%ymm7, %%ymm7\n\t"
      "vpsrld $25, %%ymm4, %%ymm4\n\t"
      "vpor %%ymm10, %%ymm7, %%ymm7\n\t"
      "vpor %%ymm11, %%ymm4, %%ymm4\n\t"
      "decl %k[rounds]\n\t"
      "jnz 1b\n\t"
      "vpaddd 0(%[start]), %%ymm0, %%ymm0\n\t"
      "vmovdqa %%ymm0, 0(%[x])\n\t"
      "vpaddd 32(%[start]), %%ymm1, %%ymm1\n\t"
      "vmovdqa %%ymm1, 32(%[x])\n\t"
      "vpaddd 64(%[start]), %%ymm2, %%ymm2\n\t"
      "vmovdqa %%ymm2, 64(%[x])\n\t"
      "vpaddd 96(%[start]), %%ymm3, %%ymm3\n\t"
      "vmovdqa %%ymm3, 96(%[x])\n\t"
      "vpaddd 128(%[start]), %%ymm4, %%ymm4\n\t"
      "vmovdqa %%ymm4, 128(%[x])\n\t"
      "vpaddd 160(%[start]), %%ymm5, %%ymm5\n\t"
      "vmovdqa %%ymm5, 160(%[x])\n\t"
      "vpaddd 192(%[start]), %%ymm6, %%ymm6\n\t"
      "vmovdqa %%ymm6, 192(%[x])\n\t"
      "vpaddd 224(%[start]), %%ymm7, %%ymm7\n\t"
      "vmovdqa %%ymm7, 224(%[x])\n\t"
      "vpaddd 384(%[start]), %%ymm12, %%ymm12\n\t"
      "vmovdqa %%ymm12, 384(%[x])\n\t"
      "vpaddd 416(%[start]), %%ymm13, %%ymm13\n\t"
      "vmovdqa %%ymm13, 416(%[x])\n\t"
      "vpaddd 448(%[start]), %%ymm14, %%ymm14\n\t"
      "vmovdqa %%ymm14, 448(%[x])\n\t"
      "vpaddd 480(%[start]), %%ymm15, %%ymm15\n\t"
      "vmovdqa %%ymm15, 480(%[x])\n\t"
      "vpaddd 256(%[start]), %%ymm8, %%ymm8\n\t"
      "vmovdqa %%ymm8, 256(%[x])\n\t"
      "vpaddd 288(%[start]), %%ymm9, %%ymm9\n\t"
      "vmovdqa %%ymm9, 288(%[x])\n\t"
      "vmovdqa 320(%[x]), %%ymm10\n\t"
      "vpaddd 320(%[start]), %%ymm10, %%ymm10\n\t"
      "vmovdqa %%ymm10, 320(%[x])\n\t"
      "vmovdqa 352(%[x]), %%ymm11\n\t"
      "vpaddd 352(%[start]), %%ymm11, %%ymm11\n\t"
      "vmovdqa %%ymm11, 352(%[x])\n\t"
      : [rounds] "=&r"(rounds)
      : [x] "r"(x), [start] "r"(start), [rot16] "m"(rot16), [rot8] "m"(rot8)
      : "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
        "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

// Transposes eight vectors of one word each into eight 32-byte rows, one per block.
inline void transpose(__m256i x[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(x[0], x[1]), t1 = _mm256_unpackhi_epi32(x[0], x[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(x[2], x[3]), t3 = _mm256_unpackhi_epi32(x[2], x[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(x[4], x[5]), t5 = _mm256_unpackhi_epi32(x[4], x[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(x[6], x[7]), t7 = _mm256_unpackhi_epi32(x[6], x[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  x[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  x[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  x[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  x[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  x[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  x[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  x[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  x[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The eight blocks' starting words, broadcast once per call; only the counters move.
struct EightStarts {
  alignas(32) __m256i words[16];

  explicit EightStarts(const std::uint32_t input[16]) {
    for (int i = 0; i < 16; ++i) words[i] = _mm256_set1_epi32(static_cast<int>(input[i]));
    advance_counters(_mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  }

  // Adds `step` to each lane's 64-bit counter; a lane whose low word wraps carries into the
  // high word.
  void advance_counters(__m256i step) {
    const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    words[12] = _mm256_add_epi32(words[12], step);
    const __m256i wrapped =
        _mm256_cmpgt_epi32(_mm256_xor_si256(step, sign), _mm256_xor_si256(words[12], sign));
    words[13] = _mm256_sub_epi32(words[13], wrapped);
  }
};

// Eight keystream blocks XORed into 512 bytes; `x` is aligned scratch.
inline void xor_eight_blocks(const EightStarts& starts, __m256i x[16], const std::uint8_t* in,
                             std::uint8_t* out) {
  twenty_rounds(starts.words, x);
  transpose(x);
  transpose(x + 8);
  // After the transposes x[j] is the first half of block j and x[8 + j] its second half.
  for (int j = 0; j < 8; ++j) {
    for (int half = 0; half < 2; ++half) {
      const int offset = 64 * j + 32 * half;
      const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + offset));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + offset),
                          _mm256_xor_si256(data, x[8 * half + j]));
    }
  }
}

inline void advance(std::uint32_t input[16], std::uint32_t blocks) {
  const std::uint32_t before = input[12];
  input[12] += blocks;
  if (input[12] < before) ++input[13];
}

}  // namespace

void chacha_xor_avx2(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                     std::size_t length) {
  // One block is cheaper on the scalar path than eight in parallel.
  if (length <= 64) {
    chacha_xor_portable(input, in, out, length);
    return;
  }
  EightStarts starts(input);
  const __m256i eight = _mm256_set1_epi32(8);
  alignas(32) __m256i scratch[16];
  while (length >= 512) {
    xor_eight_blocks(starts, scratch, in, out);
    starts.advance_counters(eight);
    advance(input, 8);
    in += 512;
    out += 512;
    length -= 512;
  }
  if (length != 0) {
    // The last partial batch: keystream into a buffer, then only the bytes wanted.
    alignas(32) std::uint8_t keystream[512] = {};
    xor_eight_blocks(starts, scratch, keystream, keystream);
    for (std::size_t i = 0; i < length; ++i) out[i] = in[i] ^ keystream[i];
    advance(input, static_cast<std::uint32_t>((length + 63) / 64));
    wipe_secret(keystream, sizeof keystream);
  }
  // Keystream must not outlive the call, in memory or in the vector registers.
  wipe_secret(&starts, sizeof starts);
  wipe_secret(scratch, sizeof scratch);
  _mm256_zeroall();
}

}  // namespace velmorine::secure

#endif
