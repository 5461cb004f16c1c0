#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/sha256_blocks.h"

#if VELMORINE_SECURE_X86_64

#include <immintrin.h>

namespace velmorine::secure {

// The SHA extensions keep the working variables as ABEF and CDGH and run two rounds per
// instruction; message words are scheduled four at a time.
void sha256_blocks_shani(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i* constants = reinterpret_cast<const __m128i*>(kSha256RoundConstants);

  __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));       // a b c d
  __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4));  // e f g h
  low = _mm_shuffle_epi32(low, 0xB1);                                       // b a d c
  high = _mm_shuffle_epi32(high, 0x1B);                                     // h g f e
  __m128i abef = _mm_alignr_epi8(low, high, 8);
  __m128i cdgh = _mm_blend_epi16(high, low, 0xF0);

  for (; count != 0; --count, blocks += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)),
                              byte_swap);
    }
    for (int group = 0; group < 16; ++group) {
      __m128i wk = _mm_add_epi32(w[group & 3], _mm_loadu_si128(constants + group));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      wk = _mm_shuffle_epi32(wk, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
      if (group < 12) {
        // W[t] for the group four ahead, from groups t-16, t-15, t-7 and t-2 terms.
        const __m128i partial =
            _mm_add_epi32(_mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]),
                          _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
        w[group & 3] = _mm_sha256msg2_epu32(partial, w[(group + 3) & 3]);
      }
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  const __m128i reversed = _mm_shuffle_epi32(abef, 0x1B);  // a b e f
  const __m128i paired = _mm_shuffle_epi32(cdgh, 0xB1);    // g h c d
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(reversed, paired, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(paired, reversed, 8));
}

}  // namespace velmorine::secure

#endif
