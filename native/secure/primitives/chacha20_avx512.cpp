#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include "native/secure/primitives/avx512_intrinsics.h"

namespace velmorine::secure {
namespace {

// One block per 32-bit lane: vector i holds word i of as many blocks as the width has lanes.
// ZMM carries the bulk sixteen blocks at a time; the YMM form (AVX-512VL, for the rotate and
// the byte masks) finishes a tail of up to eight blocks without paying for sixteen.
//
// After the transpose, `offset(i)` says where in the batch's bytes vector i's keystream goes.

struct Zmm {
  using V = __m512i;
  using Mask = __mmask64;
  static constexpr unsigned kBlocks = 16;
  static V broadcast(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
  static V lane_index() {
    return _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  }
  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V xor_(V a, V b) { return _mm512_xor_si512(a, b); }
  static V unpacklo32(V a, V b) { return _mm512_unpacklo_epi32(a, b); }
  static V unpackhi32(V a, V b) { return _mm512_unpackhi_epi32(a, b); }
  static V unpacklo64(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
  static V unpackhi64(V a, V b) { return _mm512_unpackhi_epi64(a, b); }
  template <int kBits>
  static V rotl(V a) {
    return _mm512_rol_epi32(a, kBits);
  }
  // `high` plus one in the lanes where `low` (already advanced by `step`) wrapped.
  static V carry(V high, V low, V step) {
    return _mm512_mask_add_epi32(high, _mm512_cmplt_epu32_mask(low, step), high, broadcast(1));
  }
  static V load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
  static void store(std::uint8_t* p, V v) { _mm512_storeu_si512(p, v); }
  static Mask first_bytes(std::size_t n) { return (Mask{1} << n) - 1; }
  static V load(const std::uint8_t* p, Mask m) { return _mm512_maskz_loadu_epi8(m, p); }
  static void store(std::uint8_t* p, Mask m, V v) { _mm512_mask_storeu_epi8(p, m, v); }

  // Given words 0-3, 4-7, 8-11 and 12-15 of blocks m, 4 + m, 8 + m, 12 + m in the 128-bit
  // lanes of a, b, c and d, leaves those four blocks whole in a, b, c and d.
  static void interleave_lanes(V& a, V& b, V& c, V& d) {
    const V ab_low = _mm512_shuffle_i32x4(a, b, 0x44), ab_high = _mm512_shuffle_i32x4(a, b, 0xee);
    const V cd_low = _mm512_shuffle_i32x4(c, d, 0x44), cd_high = _mm512_shuffle_i32x4(c, d, 0xee);
    a = _mm512_shuffle_i32x4(ab_low, cd_low, 0x88);
    b = _mm512_shuffle_i32x4(ab_low, cd_low, 0xdd);
    c = _mm512_shuffle_i32x4(ab_high, cd_high, 0x88);
    d = _mm512_shuffle_i32x4(ab_high, cd_high, 0xdd);
  }
  static void finish_transpose(V& x0, V& x1, V& x2, V& x3, V& x4, V& x5, V& x6, V& x7, V& x8, V& x9,
                               V& x10, V& x11, V& x12, V& x13, V& x14, V& x15) {
    interleave_lanes(x0, x4, x8, x12);
    interleave_lanes(x1, x5, x9, x13);
    interleave_lanes(x2, x6, x10, x14);
    interleave_lanes(x3, x7, x11, x15);
  }
  // x_i is then block i.
  static constexpr std::size_t offset(int i) { return 64 * static_cast<std::size_t>(i); }
};

struct Ymm {
  using V = __m256i;
  using Mask = __mmask32;
  static constexpr unsigned kBlocks = 8;
  static V broadcast(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  static V lane_index() { return _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0); }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
  static V unpacklo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V unpackhi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V unpacklo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V unpackhi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
  template <int kBits>
  static V rotl(V a) {
    return _mm256_rol_epi32(a, kBits);
  }
  static V carry(V high, V low, V step) {
    return _mm256_mask_add_epi32(high, _mm256_cmplt_epu32_mask(low, step), high, broadcast(1));
  }
  static V load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void store(std::uint8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static Mask first_bytes(std::size_t n) { return static_cast<Mask>((1u << n) - 1); }
  static V load(const std::uint8_t* p, Mask m) { return _mm256_maskz_loadu_epi8(m, p); }
  static void store(std::uint8_t* p, Mask m, V v) { _mm256_mask_storeu_epi8(p, m, v); }

  // Lane L of a and lane L of b side by side are half a block: a takes the halves from lane 0,
  // b those from lane 1.
  static void pair_lanes(V& a, V& b) {
    const V low = _mm256_permute2x128_si256(a, b, 0x20);
    b = _mm256_permute2x128_si256(a, b, 0x31);
    a = low;
  }
  static void finish_transpose(V& x0, V& x1, V& x2, V& x3, V& x4, V& x5, V& x6, V& x7, V& x8, V& x9,
                               V& x10, V& x11, V& x12, V& x13, V& x14, V& x15) {
    pair_lanes(x0, x4);
    pair_lanes(x1, x5);
    pair_lanes(x2, x6);
    pair_lanes(x3, x7);
    pair_lanes(x8, x12);
    pair_lanes(x9, x13);
    pair_lanes(x10, x14);
    pair_lanes(x11, x15);
  }
  // x_{4g+m} is then half g >> 1 (first or second) of block m + 4 (g & 1).
  static constexpr std::size_t offset(int i) {
    const int g = i / 4, m = i % 4;
    return static_cast<std::size_t>(64 * (m + 4 * (g & 1)) + 32 * (g >> 1));
  }
};

template <class W, typename V = typename W::V>
[[gnu::always_inline]] inline void quarter_rounds(V& a0, V& b0, V& c0, V& d0, V& a1, V& b1, V& c1,
                                                  V& d1, V& a2, V& b2, V& c2, V& d2, V& a3, V& b3,
                                                  V& c3, V& d3) {
  // Four independent quarter rounds, step by step, so that each step has four
  // instructions in flight.
  a0 = W::add(a0, b0), a1 = W::add(a1, b1), a2 = W::add(a2, b2), a3 = W::add(a3, b3);
  d0 = W::xor_(d0, a0), d1 = W::xor_(d1, a1), d2 = W::xor_(d2, a2), d3 = W::xor_(d3, a3);
  d0 = W::template rotl<16>(d0), d1 = W::template rotl<16>(d1);
  d2 = W::template rotl<16>(d2), d3 = W::template rotl<16>(d3);
  c0 = W::add(c0, d0), c1 = W::add(c1, d1), c2 = W::add(c2, d2), c3 = W::add(c3, d3);
  b0 = W::xor_(b0, c0), b1 = W::xor_(b1, c1), b2 = W::xor_(b2, c2), b3 = W::xor_(b3, c3);
  b0 = W::template rotl<12>(b0), b1 = W::template rotl<12>(b1);
  b2 = W::template rotl<12>(b2), b3 = W::template rotl<12>(b3);
  a0 = W::add(a0, b0), a1 = W::add(a1, b1), a2 = W::add(a2, b2), a3 = W::add(a3, b3);
  d0 = W::xor_(d0, a0), d1 = W::xor_(d1, a1), d2 = W::xor_(d2, a2), d3 = W::xor_(d3, a3);
  d0 = W::template rotl<8>(d0), d1 = W::template rotl<8>(d1);
  d2 = W::template rotl<8>(d2), d3 = W::template rotl<8>(d3);
  c0 = W::add(c0, d0), c1 = W::add(c1, d1), c2 = W::add(c2, d2), c3 = W::add(c3, d3);
  b0 = W::xor_(b0, c0), b1 = W::xor_(b1, c1), b2 = W::xor_(b2, c2), b3 = W::xor_(b3, c3);
  b0 = W::template rotl<7>(b0), b1 = W::template rotl<7>(b1);
  b2 = W::template rotl<7>(b2), b3 = W::template rotl<7>(b3);
}

// The starting words of one batch, broadcast once per call; only the counters move.
template <class W>
struct Starts {
  typename W::V words[16];

  explicit Starts(const std::uint32_t input[16]) {
    for (int i = 0; i < 16; ++i) words[i] = W::broadcast(input[i]);
    advance_counters(W::lane_index());
  }

  // Adds `step` to each lane's 64-bit counter.
  void advance_counters(typename W::V step) {
    words[12] = W::add(words[12], step);
    words[13] = W::carry(words[13], words[12], step);
  }
};

// Words w..w+3 in a, b, c, d: afterwards, within each 128-bit lane, a, b, c and d hold those
// four words of the lane's first, second, third and fourth block.
template <class W, typename V = typename W::V>
[[gnu::always_inline]] inline void transpose_words(V& a, V& b, V& c, V& d) {
  const V t0 = W::unpacklo32(a, b), t1 = W::unpackhi32(a, b);
  const V t2 = W::unpacklo32(c, d), t3 = W::unpackhi32(c, d);
  a = W::unpacklo64(t0, t2);
  b = W::unpackhi64(t0, t2);
  c = W::unpacklo64(t1, t3);
  d = W::unpackhi64(t1, t3);
}

// Keystream `key` over bytes [offset, offset + sizeof key) of the batch, clipped to `length`.
template <class W, typename V = typename W::V>
[[gnu::always_inline]] inline void xor_at(const std::uint8_t* in, std::uint8_t* out,
                                          std::size_t length, std::size_t offset, V key) {
  if (length >= offset + sizeof(V)) {
    W::store(out + offset, W::xor_(W::load(in + offset), key));
  } else if (length > offset) {
    const typename W::Mask mask = W::first_bytes(length - offset);
    W::store(out + offset, mask, W::xor_(W::load(in + offset, mask), key));
  }
}

// The keystream of one batch XORed into `length` bytes (at most the batch); bytes beyond
// `length` are neither read nor written.
template <class W>
[[gnu::always_inline]] inline void xor_batch(const Starts<W>& starts, const std::uint8_t* in,
                                             std::uint8_t* out, std::size_t length) {
  using V = typename W::V;
  const V* s = starts.words;
  V x0 = s[0], x1 = s[1], x2 = s[2], x3 = s[3], x4 = s[4], x5 = s[5], x6 = s[6], x7 = s[7];
  V x8 = s[8], x9 = s[9], x10 = s[10], x11 = s[11], x12 = s[12], x13 = s[13], x14 = s[14],
    x15 = s[15];
  for (int round = 0; round < 10; round += 2) {
    quarter_rounds<W>(x0, x4, x8, x12, x1, x5, x9, x13, x2, x6, x10, x14, x3, x7, x11, x15);
    quarter_rounds<W>(x0, x5, x10, x15, x1, x6, x11, x12, x2, x7, x8, x13, x3, x4, x9, x14);
    quarter_rounds<W>(x0, x4, x8, x12, x1, x5, x9, x13, x2, x6, x10, x14, x3, x7, x11, x15);
    quarter_rounds<W>(x0, x5, x10, x15, x1, x6, x11, x12, x2, x7, x8, x13, x3, x4, x9, x14);
  }
  x0 = W::add(x0, s[0]), x1 = W::add(x1, s[1]), x2 = W::add(x2, s[2]), x3 = W::add(x3, s[3]);
  x4 = W::add(x4, s[4]), x5 = W::add(x5, s[5]), x6 = W::add(x6, s[6]), x7 = W::add(x7, s[7]);
  x8 = W::add(x8, s[8]), x9 = W::add(x9, s[9]), x10 = W::add(x10, s[10]);
  x11 = W::add(x11, s[11]), x12 = W::add(x12, s[12]), x13 = W::add(x13, s[13]);
  x14 = W::add(x14, s[14]), x15 = W::add(x15, s[15]);
  transpose_words<W>(x0, x1, x2, x3);
  transpose_words<W>(x4, x5, x6, x7);
  transpose_words<W>(x8, x9, x10, x11);
  transpose_words<W>(x12, x13, x14, x15);
  W::finish_transpose(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
  xor_at<W>(in, out, length, W::offset(0), x0);
  xor_at<W>(in, out, length, W::offset(1), x1);
  xor_at<W>(in, out, length, W::offset(2), x2);
  xor_at<W>(in, out, length, W::offset(3), x3);
  xor_at<W>(in, out, length, W::offset(4), x4);
  xor_at<W>(in, out, length, W::offset(5), x5);
  xor_at<W>(in, out, length, W::offset(6), x6);
  xor_at<W>(in, out, length, W::offset(7), x7);
  xor_at<W>(in, out, length, W::offset(8), x8);
  xor_at<W>(in, out, length, W::offset(9), x9);
  xor_at<W>(in, out, length, W::offset(10), x10);
  xor_at<W>(in, out, length, W::offset(11), x11);
  xor_at<W>(in, out, length, W::offset(12), x12);
  xor_at<W>(in, out, length, W::offset(13), x13);
  xor_at<W>(in, out, length, W::offset(14), x14);
  xor_at<W>(in, out, length, W::offset(15), x15);
}

// At most one batch of width W over the whole of `length`.
template <class W>
inline void xor_tail(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                     std::size_t length) {
  Starts<W> starts(input);
  xor_batch(starts, in, out, length);
  wipe_secret(&starts, sizeof starts);
}

inline void advance(std::uint32_t input[16], std::size_t blocks) {
  const std::uint32_t before = input[12];
  input[12] += static_cast<std::uint32_t>(blocks);
  if (input[12] < before) ++input[13];
}

// Overwrites the stack below the caller, where the batches may have spilled keystream; the area is
// larger than the run's stack frame.
[[gnu::noinline]] void scrub_stack() {
  alignas(64) std::uint8_t area[4096];
  wipe_secret(area, sizeof area);
}

// Advances the counter in `input` past every block begun.
[[gnu::noinline]] void xor_vectors(std::uint32_t input[16], const std::uint8_t* in,
                                   std::uint8_t* out, std::size_t length) {
  if (length > 64 * Ymm::kBlocks) {
    Starts<Zmm> starts(input);
    const Zmm::V step = Zmm::broadcast(Zmm::kBlocks);
    std::size_t done = 0;
    for (; length - done >= 64 * Zmm::kBlocks; done += 64 * Zmm::kBlocks) {
      xor_batch(starts, in + done, out + done, 64 * Zmm::kBlocks);
      starts.advance_counters(step);
    }
    if (length - done > 64 * Ymm::kBlocks) {
      xor_batch(starts, in + done, out + done, length - done);
      done = length;
    }
    wipe_secret(&starts, sizeof starts);
    advance(input, (done + 63) / 64);
    in += done;
    out += done;
    length -= done;
  }
  // Eight blocks or fewer are bound by the latency of the rounds rather than by their
  // throughput, and take as long in YMM as in XMM registers, but less than in ZMM ones.
  if (length != 0) xor_tail<Ymm>(input, in, out, length);
  advance(input, (length + 63) / 64);
  wipe_vector_registers();
}

}  // namespace

void chacha_xor_avx512(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                       std::size_t length) {
  // One block is cheaper on the scalar path than four in parallel.
  if (length <= 64) {
    chacha_xor_portable(input, in, out, length);
    return;
  }
  xor_vectors(input, in, out, length);
  scrub_stack();
}

}  // namespace velmorine::secure

#endif
