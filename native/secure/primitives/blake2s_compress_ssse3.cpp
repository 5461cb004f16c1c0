#include <cstring>

#include "native/secure/primitives/blake2s_compress.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include <immintrin.h>

namespace velmorine::secure {
namespace {

// The 4x4 working matrix as four row vectors: G runs on all four columns at once, and a
// rotation of rows 2 to 4 turns the diagonals into columns.
inline __m128i rotate16(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
}

inline __m128i rotate8(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3, 2, 1));
}

template <int N>
inline __m128i rotate(__m128i v) {
  return _mm_or_si128(_mm_srli_epi32(v, N), _mm_slli_epi32(v, 32 - N));
}

inline void half_g_first(__m128i& a, __m128i& b, __m128i& c, __m128i& d, __m128i m) {
  a = _mm_add_epi32(_mm_add_epi32(a, b), m);
  d = rotate16(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotate<12>(_mm_xor_si128(b, c));
}

inline void half_g_second(__m128i& a, __m128i& b, __m128i& c, __m128i& d, __m128i m) {
  a = _mm_add_epi32(_mm_add_epi32(a, b), m);
  d = rotate8(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotate<7>(_mm_xor_si128(b, c));
}

inline __m128i gather(const std::uint32_t m[16], const std::uint8_t* s, int a, int b, int c,
                      int d) {
  return _mm_set_epi32(static_cast<int>(m[s[d]]), static_cast<int>(m[s[c]]),
                       static_cast<int>(m[s[b]]), static_cast<int>(m[s[a]]));
}

}  // namespace

void blake2s_compress_ssse3(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count,
                            std::uint64_t counter, bool final_block) {
  __m128i h_low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
  __m128i h_high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4));
  const __m128i iv_low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kBlake2sIv));
  const __m128i iv_high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kBlake2sIv + 4));
  std::uint32_t m[16];
  for (std::size_t block = 0; block < count; ++block, counter += 64) {
    std::memcpy(m, blocks + 64 * block, 64);  // little-endian words on x86
    __m128i row1 = h_low, row2 = h_high, row3 = iv_low;
    __m128i row4 = _mm_xor_si128(
        iv_high, _mm_set_epi32(0, final_block ? -1 : 0, static_cast<int>(counter >> 32),
                               static_cast<int>(counter)));
    for (int round = 0; round < 10; ++round) {
      const std::uint8_t* s = kBlake2sSigma[round];
      half_g_first(row1, row2, row3, row4, gather(m, s, 0, 2, 4, 6));
      half_g_second(row1, row2, row3, row4, gather(m, s, 1, 3, 5, 7));
      row2 = _mm_shuffle_epi32(row2, _MM_SHUFFLE(0, 3, 2, 1));
      row3 = _mm_shuffle_epi32(row3, _MM_SHUFFLE(1, 0, 3, 2));
      row4 = _mm_shuffle_epi32(row4, _MM_SHUFFLE(2, 1, 0, 3));
      half_g_first(row1, row2, row3, row4, gather(m, s, 8, 10, 12, 14));
      half_g_second(row1, row2, row3, row4, gather(m, s, 9, 11, 13, 15));
      row2 = _mm_shuffle_epi32(row2, _MM_SHUFFLE(2, 1, 0, 3));
      row3 = _mm_shuffle_epi32(row3, _MM_SHUFFLE(1, 0, 3, 2));
      row4 = _mm_shuffle_epi32(row4, _MM_SHUFFLE(0, 3, 2, 1));
    }
    h_low = _mm_xor_si128(h_low, _mm_xor_si128(row1, row3));
    h_high = _mm_xor_si128(h_high, _mm_xor_si128(row2, row4));
  }
  // The message may be key material (HMAC keys pass through here).
  wipe_secret(m, sizeof m);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), h_low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), h_high);
}

}  // namespace velmorine::secure

#endif
