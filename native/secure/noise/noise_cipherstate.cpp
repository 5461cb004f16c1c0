#include "native/secure/noise/noise_cipherstate.h"

#include <cstring>
#include <limits>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"

namespace {

constexpr size_t kMaxKeyLength = 32;
constexpr size_t kMaxMacLength = 16;
// 2^64-1 is reserved for REKEY, so the last usable nonce is 2^64-2.
constexpr uint64_t kLastNonce = std::numeric_limits<uint64_t>::max() - 1;

}  // namespace

int noise_cipherstate_new_by_id(NoiseCipherState** state, int id) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  switch (id) {
    case NOISE_CIPHER_CHACHAPOLY:
      *state = noise_chachapoly_new();
      break;
    case NOISE_CIPHER_AESGCM:
      *state = noise_aesgcm_new();
      break;
    default:
      return NOISE_ERROR_UNKNOWN_ID;
  }
  return *state != nullptr ? NOISE_ERROR_NONE : NOISE_ERROR_NO_MEMORY;
}

int noise_cipherstate_new_by_name(NoiseCipherState** state, const char* name) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  const int id = noise_name_to_id(NOISE_CATEGORY_CIPHER, name, std::strlen(name));
  if (id == 0) return NOISE_ERROR_UNKNOWN_NAME;
  return noise_cipherstate_new_by_id(state, id);
}

int noise_cipherstate_free(NoiseCipherState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  noise_free(state, state->size);
  return NOISE_ERROR_NONE;
}

int noise_cipherstate_get_cipher_id(const NoiseCipherState* state) {
  return state != nullptr ? state->cipher_id : 0;
}
size_t noise_cipherstate_get_key_length(const NoiseCipherState* state) {
  return state != nullptr ? state->key_len : 0;
}
size_t noise_cipherstate_get_mac_length(const NoiseCipherState* state) {
  return state != nullptr ? state->mac_len : 0;
}
size_t noise_cipherstate_get_max_key_length() { return kMaxKeyLength; }
size_t noise_cipherstate_get_max_mac_length() { return kMaxMacLength; }

int noise_cipherstate_init_key(NoiseCipherState* state, const uint8_t* key, size_t key_len) {
  if (state == nullptr || key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (key_len != state->key_len) return NOISE_ERROR_INVALID_LENGTH;
  state->init_key(state, key);
  state->has_key = 1;
  state->n = 0;
  return NOISE_ERROR_NONE;
}

int noise_cipherstate_has_key(const NoiseCipherState* state) {
  return state != nullptr ? state->has_key : 0;
}

int noise_cipherstate_encrypt_with_ad(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                      uint8_t* data, size_t len, size_t capacity, size_t* out_len) {
  return noise_cipherstate_encrypt_to(state, ad, ad_len, data, len, data, capacity, out_len);
}

int noise_cipherstate_encrypt_to(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                 const uint8_t* plaintext, size_t len, uint8_t* output,
                                 size_t capacity, size_t* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (state == nullptr || out_len == nullptr || (ad == nullptr && ad_len != 0) ||
      (output == nullptr && (len != 0 || state->has_key)) || (plaintext == nullptr && len != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (!state->has_key) {
    if (len > NOISE_MAX_PAYLOAD_LEN || len > capacity) return NOISE_ERROR_INVALID_LENGTH;
    if (len != 0 && output != plaintext) std::memmove(output, plaintext, len);
    *out_len = len;
    return NOISE_ERROR_NONE;
  }
  if (state->n > kLastNonce) return NOISE_ERROR_INVALID_NONCE;
  if (len > capacity || capacity - len < state->mac_len) return NOISE_ERROR_INVALID_LENGTH;
  state->encrypt(state, state->n, ad, ad_len, plaintext, output, len);
  ++state->n;
  *out_len = len + state->mac_len;
  return NOISE_ERROR_NONE;
}

int noise_cipherstate_decrypt_with_ad(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                      uint8_t* data, size_t len, size_t* out_len) {
  return noise_cipherstate_decrypt_to(state, ad, ad_len, data, len, data, out_len);
}

int noise_cipherstate_decrypt_to(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                 const uint8_t* sealed, size_t len, uint8_t* output,
                                 size_t* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (state == nullptr || out_len == nullptr || (ad == nullptr && ad_len != 0) ||
      ((sealed == nullptr || output == nullptr) && (len != 0 || state->has_key))) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (!state->has_key) {
    if (len > NOISE_MAX_PAYLOAD_LEN) return NOISE_ERROR_INVALID_LENGTH;
    if (len != 0 && output != sealed) std::memmove(output, sealed, len);
    *out_len = len;
    return NOISE_ERROR_NONE;
  }
  if (state->n > kLastNonce) return NOISE_ERROR_INVALID_NONCE;
  if (len < state->mac_len) return NOISE_ERROR_INVALID_LENGTH;
  const size_t plain_len = len - state->mac_len;
  // The nonce advances whether or not the tag matches: a failed attempt is not retried.
  const int err = state->decrypt(state, state->n, ad, ad_len, sealed, output, plain_len);
  ++state->n;
  if (err != NOISE_ERROR_NONE) return err;
  *out_len = plain_len;
  return NOISE_ERROR_NONE;
}

int noise_cipherstate_encrypt(NoiseCipherState* state, uint8_t* data, size_t len, size_t capacity,
                              size_t* out_len) {
  return noise_cipherstate_encrypt_with_ad(state, nullptr, 0, data, len, capacity, out_len);
}

int noise_cipherstate_decrypt(NoiseCipherState* state, uint8_t* data, size_t len, size_t* out_len) {
  return noise_cipherstate_decrypt_with_ad(state, nullptr, 0, data, len, out_len);
}

int noise_cipherstate_rekey(NoiseCipherState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (!state->has_key) return NOISE_ERROR_INVALID_STATE;
  uint8_t block[kMaxKeyLength + kMaxMacLength] = {};
  state->encrypt(state, std::numeric_limits<uint64_t>::max(), nullptr, 0, block, block,
                 state->key_len);
  state->init_key(state, block);
  noise_clean(block, sizeof(block));
  return NOISE_ERROR_NONE;
}

int noise_cipherstate_set_nonce(NoiseCipherState* state, uint64_t nonce) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (!state->has_key) return NOISE_ERROR_INVALID_STATE;
  if (nonce < state->n) return NOISE_ERROR_INVALID_NONCE;
  state->n = nonce;
  return NOISE_ERROR_NONE;
}

NoiseCipherState* noise_aesgcm_new() { return nullptr; }
