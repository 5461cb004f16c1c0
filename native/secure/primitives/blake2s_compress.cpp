#include "native/secure/primitives/blake2s_compress.h"

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

#define VELMORINE_BLAKE2S_G(a, b, c, d, x, y) \
  do {                                        \
    a = a + b + (x);                          \
    d = rotr32(d ^ a, 16);                    \
    c = c + d;                                \
    b = rotr32(b ^ c, 12);                    \
    a = a + b + (y);                          \
    d = rotr32(d ^ a, 8);                     \
    c = c + d;                                \
    b = rotr32(b ^ c, 7);                     \
  } while (0)

}  // namespace

void blake2s_compress_portable(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count,
                               std::uint64_t counter, bool final_block) {
  std::uint32_t m[16];
  for (std::size_t block = 0; block < count; ++block, counter += 64) {
    const std::uint8_t* p = blocks + block * 64;
    for (int i = 0; i < 16; ++i) m[i] = load_le32(p + 4 * i);
    std::uint32_t v0 = h[0], v1 = h[1], v2 = h[2], v3 = h[3];
    std::uint32_t v4 = h[4], v5 = h[5], v6 = h[6], v7 = h[7];
    std::uint32_t v8 = kBlake2sIv[0], v9 = kBlake2sIv[1], v10 = kBlake2sIv[2], v11 = kBlake2sIv[3];
    std::uint32_t v12 = kBlake2sIv[4] ^ static_cast<std::uint32_t>(counter);
    std::uint32_t v13 = kBlake2sIv[5] ^ static_cast<std::uint32_t>(counter >> 32);
    std::uint32_t v14 = final_block ? ~kBlake2sIv[6] : kBlake2sIv[6];
    std::uint32_t v15 = kBlake2sIv[7];
    for (int round = 0; round < 10; ++round) {
      const std::uint8_t* s = kBlake2sSigma[round];
      VELMORINE_BLAKE2S_G(v0, v4, v8, v12, m[s[0]], m[s[1]]);
      VELMORINE_BLAKE2S_G(v1, v5, v9, v13, m[s[2]], m[s[3]]);
      VELMORINE_BLAKE2S_G(v2, v6, v10, v14, m[s[4]], m[s[5]]);
      VELMORINE_BLAKE2S_G(v3, v7, v11, v15, m[s[6]], m[s[7]]);
      VELMORINE_BLAKE2S_G(v0, v5, v10, v15, m[s[8]], m[s[9]]);
      VELMORINE_BLAKE2S_G(v1, v6, v11, v12, m[s[10]], m[s[11]]);
      VELMORINE_BLAKE2S_G(v2, v7, v8, v13, m[s[12]], m[s[13]]);
      VELMORINE_BLAKE2S_G(v3, v4, v9, v14, m[s[14]], m[s[15]]);
    }
    h[0] ^= v0 ^ v8;
    h[1] ^= v1 ^ v9;
    h[2] ^= v2 ^ v10;
    h[3] ^= v3 ^ v11;
    h[4] ^= v4 ^ v12;
    h[5] ^= v5 ^ v13;
    h[6] ^= v6 ^ v14;
    h[7] ^= v7 ^ v15;
  }
  // The message may be key material (HMAC keys pass through here).
  wipe_secret(m, sizeof m);
}

#undef VELMORINE_BLAKE2S_G

Blake2sCompress blake2s_compress_for_cpu() {
#if VELMORINE_SECURE_X86_64
  if (cpu_features().ssse3) return blake2s_compress_ssse3;
#endif
  return blake2s_compress_portable;
}

}  // namespace velmorine::secure
