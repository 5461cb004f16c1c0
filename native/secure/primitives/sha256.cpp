#include "native/secure/primitives/sha256.h"

#include <cstring>

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"
#include "native/secure/primitives/sha256_blocks.h"

namespace velmorine::secure {
namespace {

constexpr std::uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

Sha256Blocks blocks_for_cpu() {
  static const Sha256Blocks chosen = sha256_blocks_for_cpu();
  return chosen;
}

}  // namespace

void sha256_blocks_portable(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count) {
  for (; count != 0; --count, blocks += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = rotr32(w[t - 15], 7) ^ rotr32(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = rotr32(w[t - 2], 17) ^ rotr32(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t sum1 = rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25);
      const std::uint32_t choose = (e & f) ^ (~e & g);
      const std::uint32_t t1 = hh + sum1 + choose + kSha256RoundConstants[t] + w[t];
      const std::uint32_t sum0 = rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22);
      const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = sum0 + majority;
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
  }
}

Sha256Blocks sha256_blocks_for_cpu() {
#if VELMORINE_SECURE_X86_64
  const CpuFeatures& cpu = cpu_features();
  if (cpu.sha && cpu.sse41 && cpu.ssse3) return sha256_blocks_shani;
#endif
  return sha256_blocks_portable;
}

void sha256_reset(Sha256State* state) {
  std::memcpy(state->h, kInitialHash, sizeof state->h);
  state->length = 0;
  std::memset(state->buffer, 0, sizeof state->buffer);
  state->buffered = 0;
}

void sha256_update(Sha256State* state, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  state->length += length;
  if (state->buffered != 0) {
    std::size_t take = kSha256BlockLength - state->buffered;
    if (take > length) take = length;
    std::memcpy(state->buffer + state->buffered, data, take);
    state->buffered += static_cast<std::uint32_t>(take);
    data += take;
    length -= take;
    if (state->buffered < kSha256BlockLength) return;
    blocks_for_cpu()(state->h, state->buffer, 1);
    state->buffered = 0;
  }
  const std::size_t blocks = length / kSha256BlockLength;
  if (blocks != 0) {
    blocks_for_cpu()(state->h, data, blocks);
    data += blocks * kSha256BlockLength;
    length -= blocks * kSha256BlockLength;
  }
  std::memcpy(state->buffer, data, length);
  state->buffered = static_cast<std::uint32_t>(length);
}

void sha256_finish(Sha256State* state, std::uint8_t digest[kSha256HashLength]) {
  const std::uint64_t bit_length = state->length * 8;
  std::uint8_t* buffer = state->buffer;
  std::uint32_t used = state->buffered;
  buffer[used++] = 0x80;
  if (used > kSha256BlockLength - 8) {
    std::memset(buffer + used, 0, kSha256BlockLength - used);
    blocks_for_cpu()(state->h, buffer, 1);
    used = 0;
  }
  std::memset(buffer + used, 0, kSha256BlockLength - 8 - used);
  store_be64(buffer + kSha256BlockLength - 8, bit_length);
  blocks_for_cpu()(state->h, buffer, 1);
  for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, state->h[i]);
  wipe_secret(state, sizeof *state);
}

}  // namespace velmorine::secure
