#include "native/secure/primitives/chacha20.h"

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

#define VELMORINE_CHACHA_QR(a, b, c, d) \
  do {                                  \
    a += b;                             \
    d = rotl32(d ^ a, 16);              \
    c += d;                             \
    b = rotl32(b ^ c, 12);              \
    a += b;                             \
    d = rotl32(d ^ a, 8);               \
    c += d;                             \
    b = rotl32(b ^ c, 7);               \
  } while (0)

void block(const std::uint32_t input[16], std::uint8_t out[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < 10; ++round) {
    VELMORINE_CHACHA_QR(x[0], x[4], x[8], x[12]);
    VELMORINE_CHACHA_QR(x[1], x[5], x[9], x[13]);
    VELMORINE_CHACHA_QR(x[2], x[6], x[10], x[14]);
    VELMORINE_CHACHA_QR(x[3], x[7], x[11], x[15]);
    VELMORINE_CHACHA_QR(x[0], x[5], x[10], x[15]);
    VELMORINE_CHACHA_QR(x[1], x[6], x[11], x[12]);
    VELMORINE_CHACHA_QR(x[2], x[7], x[8], x[13]);
    VELMORINE_CHACHA_QR(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) store_le32(out + 4 * i, x[i] + input[i]);
  wipe_secret(x, sizeof x);
}

#undef VELMORINE_CHACHA_QR

ChaChaXor xor_for_cpu() {
  static const ChaChaXor chosen = chacha_xor_for_cpu();
  return chosen;
}

}  // namespace

void chacha_xor_portable(std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                         std::size_t length) {
  std::uint8_t keystream[64];
  while (length != 0) {
    block(input, keystream);
    const std::size_t n = length < 64 ? length : 64;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] ^ keystream[i];
    in += n;
    out += n;
    length -= n;
    if (++input[12] == 0) ++input[13];
  }
  wipe_secret(keystream, sizeof keystream);
}

ChaChaXor chacha_xor_for_cpu() {
#if VELMORINE_SECURE_X86_64
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) return chacha_xor_avx512;
  if (cpu.avx2) return chacha_xor_avx2;
#endif
  return chacha_xor_portable;
}

void chacha_keysetup(ChaChaState* state, const std::uint8_t* key, std::uint32_t key_bits) {
  const char* constant = key_bits == 256 ? "expand 32-byte k" : "expand 16-byte k";
  const std::uint8_t* second_half = key_bits == 256 ? key + 16 : key;
  for (int i = 0; i < 4; ++i) {
    state->input[i] = load_le32(reinterpret_cast<const std::uint8_t*>(constant) + 4 * i);
    state->input[4 + i] = load_le32(key + 4 * i);
    state->input[8 + i] = load_le32(second_half + 4 * i);
  }
}

void chacha_ivsetup(ChaChaState* state, const std::uint8_t nonce[8], const std::uint8_t* counter) {
  state->input[12] = counter != nullptr ? load_le32(counter) : 0;
  state->input[13] = counter != nullptr ? load_le32(counter + 4) : 0;
  state->input[14] = load_le32(nonce);
  state->input[15] = load_le32(nonce + 4);
}

void chacha_encrypt_bytes(ChaChaState* state, const std::uint8_t* input, std::uint8_t* output,
                          std::size_t length) {
  if (length == 0) return;
  xor_for_cpu()(state->input, input, output, length);
}

}  // namespace velmorine::secure
