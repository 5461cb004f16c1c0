// The "ChaChaPoly" cipher backend: ChaCha20-Poly1305 with the Noise nonce as the
// 64-bit little-endian ChaCha20 nonce.
#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"
#include "native/secure/primitives/chacha20.h"
#include "native/secure/primitives/poly1305.h"

namespace {

using velmorine::secure::ChaChaState;
using velmorine::secure::Poly1305State;

struct NoiseChaChaPolyState : NoiseCipherState {
  ChaChaState chacha;
  Poly1305State poly1305;
  uint8_t block[64];
};

void chachapoly_init_key(NoiseCipherState* state, const uint8_t* key) {
  velmorine::secure::chacha_keysetup(&static_cast<NoiseChaChaPolyState*>(state)->chacha, key, 256);
}

// Keys the ChaCha20 stream for this nonce and Poly1305 from its block 0; the
// stream then continues at block 1 for the message.
void chachapoly_start(NoiseChaChaPolyState* state, uint64_t nonce, const uint8_t* ad,
                      size_t ad_len) {
  uint8_t iv[8];
  for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(nonce >> (8 * i));
  velmorine::secure::chacha_ivsetup(&state->chacha, iv, nullptr);
  noise_clean(state->block, sizeof(state->block));
  velmorine::secure::chacha_encrypt_bytes(&state->chacha, state->block, state->block, 64);
  velmorine::secure::poly1305_init(&state->poly1305, state->block);
  noise_clean(state->block, sizeof(state->block));
  if (ad_len > 0) velmorine::secure::poly1305_update(&state->poly1305, ad, ad_len);
  static constexpr uint8_t kZeros[16] = {};
  if (ad_len % 16 != 0)
    velmorine::secure::poly1305_update(&state->poly1305, kZeros, 16 - ad_len % 16);
}

void chachapoly_tag(NoiseChaChaPolyState* state, const uint8_t* ciphertext, size_t len,
                    size_t ad_len, uint8_t* tag) {
  static constexpr uint8_t kZeros[16] = {};
  if (len > 0) velmorine::secure::poly1305_update(&state->poly1305, ciphertext, len);
  if (len % 16 != 0) velmorine::secure::poly1305_update(&state->poly1305, kZeros, 16 - len % 16);
  uint8_t lengths[16];
  for (int i = 0; i < 8; ++i) {
    lengths[i] = static_cast<uint8_t>(static_cast<uint64_t>(ad_len) >> (8 * i));
    lengths[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(len) >> (8 * i));
  }
  velmorine::secure::poly1305_update(&state->poly1305, lengths, sizeof(lengths));
  velmorine::secure::poly1305_finish(&state->poly1305, tag);
}

void chachapoly_encrypt(NoiseCipherState* base, uint64_t nonce, const uint8_t* ad, size_t ad_len,
                        const uint8_t* input, uint8_t* output, size_t len) {
  auto* state = static_cast<NoiseChaChaPolyState*>(base);
  chachapoly_start(state, nonce, ad, ad_len);
  if (len > 0) velmorine::secure::chacha_encrypt_bytes(&state->chacha, input, output, len);
  chachapoly_tag(state, output, len, ad_len, output + len);
}

int chachapoly_decrypt(NoiseCipherState* base, uint64_t nonce, const uint8_t* ad, size_t ad_len,
                       const uint8_t* input, uint8_t* output, size_t len) {
  auto* state = static_cast<NoiseChaChaPolyState*>(base);
  chachapoly_start(state, nonce, ad, ad_len);
  uint8_t tag[16];
  chachapoly_tag(state, input, len, ad_len, tag);
  // Nothing is deciphered before the tag has been checked.
  const int match = velmorine::secure::poly1305_verify(tag, input + len);
  noise_clean(tag, sizeof(tag));
  if (!match) return NOISE_ERROR_MAC_FAILURE;
  if (len > 0) velmorine::secure::chacha_encrypt_bytes(&state->chacha, input, output, len);
  return NOISE_ERROR_NONE;
}

}  // namespace

NoiseCipherState* noise_chachapoly_new() {
  auto* state = static_cast<NoiseChaChaPolyState*>(noise_new_object(sizeof(NoiseChaChaPolyState)));
  if (state == nullptr) return nullptr;
  state->cipher_id = NOISE_CIPHER_CHACHAPOLY;
  state->key_len = 32;
  state->mac_len = 16;
  state->init_key = chachapoly_init_key;
  state->encrypt = chachapoly_encrypt;
  state->decrypt = chachapoly_decrypt;
  state->create = noise_chachapoly_new;
  return state;
}
