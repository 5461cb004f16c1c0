#include "native/secure/noise/noise_symmetricstate.h"

#include <cstring>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_util.h"

int noise_symmetricstate_new_by_id(NoiseSymmetricState** state, const NoiseProtocolId* id) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (id == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (id->prefix_id != NOISE_PREFIX_STANDARD && id->prefix_id != NOISE_PREFIX_PSK) {
    return NOISE_ERROR_UNKNOWN_ID;
  }
  char name[128];
  int err = noise_protocol_id_to_name(name, sizeof(name), id);
  if (err != NOISE_ERROR_NONE) return err;

  auto* created = static_cast<NoiseSymmetricState*>(noise_new_object(sizeof(NoiseSymmetricState)));
  if (created == nullptr) return NOISE_ERROR_NO_MEMORY;
  created->id = *id;
  err = noise_cipherstate_new_by_id(&created->cipher, id->cipher_id);
  if (err == NOISE_ERROR_NONE) err = noise_hashstate_new_by_id(&created->hash, id->hash_id);
  if (err == NOISE_ERROR_NONE) {
    const size_t hash_len = created->hash->hash_len;
    if (hash_len < created->cipher->key_len || hash_len > NOISE_MAX_HASHLEN) {
      err = NOISE_ERROR_NOT_APPLICABLE;
    }
  }
  if (err != NOISE_ERROR_NONE) {
    noise_symmetricstate_free(created);
    return err;
  }
  // h = the protocol name padded with zeros when it fits, else its hash; ck = h.
  const size_t hash_len = created->hash->hash_len;
  const size_t name_len = std::strlen(name);
  if (name_len <= hash_len) {
    std::memcpy(created->h, name, name_len);
  } else {
    noise_hashstate_hash_one(created->hash, reinterpret_cast<const uint8_t*>(name), name_len,
                             created->h, hash_len);
  }
  std::memcpy(created->ck, created->h, hash_len);
  *state = created;
  return NOISE_ERROR_NONE;
}

int noise_symmetricstate_new_by_name(NoiseSymmetricState** state, const char* name) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  NoiseProtocolId id;
  const int err = noise_protocol_name_to_id(&id, name, std::strlen(name));
  if (err != NOISE_ERROR_NONE) return err;
  return noise_symmetricstate_new_by_id(state, &id);
}

int noise_symmetricstate_free(NoiseSymmetricState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->cipher != nullptr) noise_cipherstate_free(state->cipher);
  if (state->hash != nullptr) noise_hashstate_free(state->hash);
  noise_free(state, state->size);
  return NOISE_ERROR_NONE;
}

int noise_symmetricstate_get_protocol_id(const NoiseSymmetricState* state, NoiseProtocolId* id) {
  if (state == nullptr || id == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *id = state->id;
  return NOISE_ERROR_NONE;
}

int noise_symmetricstate_mix_key(NoiseSymmetricState* state, const uint8_t* input, size_t size) {
  if (state == nullptr || (input == nullptr && size != 0)) return NOISE_ERROR_INVALID_PARAM;
  if (state->cipher == nullptr) return NOISE_ERROR_INVALID_STATE;
  const size_t hash_len = state->hash->hash_len;
  const size_t key_len = state->cipher->key_len;
  uint8_t temp_k[NOISE_MAX_HASHLEN];
  // HKDF reads ck before it writes output 1, so ck can be both key and output.
  int err = noise_hashstate_hkdf(state->hash, state->ck, hash_len, input, size, state->ck, hash_len,
                                 temp_k, key_len);
  if (err == NOISE_ERROR_NONE) err = noise_cipherstate_init_key(state->cipher, temp_k, key_len);
  noise_clean(temp_k, sizeof(temp_k));
  return err;
}

int noise_symmetricstate_mix_hash(NoiseSymmetricState* state, const uint8_t* input, size_t size) {
  if (state == nullptr || (input == nullptr && size != 0)) return NOISE_ERROR_INVALID_PARAM;
  const size_t hash_len = state->hash->hash_len;
  return noise_hashstate_hash_two(state->hash, state->h, hash_len, input, size, state->h, hash_len);
}

int noise_symmetricstate_encrypt_and_hash(NoiseSymmetricState* state, uint8_t* data, size_t len,
                                          size_t capacity, size_t* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (state == nullptr || out_len == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->cipher == nullptr) return NOISE_ERROR_INVALID_STATE;
  const size_t hash_len = state->hash->hash_len;
  size_t sealed = 0;
  int err = noise_cipherstate_encrypt_with_ad(state->cipher, state->h, hash_len, data, len,
                                              capacity, &sealed);
  if (err == NOISE_ERROR_NONE) err = noise_symmetricstate_mix_hash(state, data, sealed);
  if (err == NOISE_ERROR_NONE) *out_len = sealed;
  return err;
}

int noise_symmetricstate_decrypt_and_hash(NoiseSymmetricState* state, uint8_t* data, size_t len,
                                          size_t* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (state == nullptr || out_len == nullptr || (data == nullptr && len != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (state->cipher == nullptr) return NOISE_ERROR_INVALID_STATE;
  const size_t hash_len = state->hash->hash_len;
  // The hash covers the ciphertext, which the in-place opening overwrites.
  uint8_t next_h[NOISE_MAX_HASHLEN];
  int err = noise_hashstate_hash_two(state->hash, state->h, hash_len, data, len, next_h, hash_len);
  if (err == NOISE_ERROR_NONE) {
    err = noise_cipherstate_decrypt_with_ad(state->cipher, state->h, hash_len, data, len, out_len);
  }
  if (err == NOISE_ERROR_NONE) std::memcpy(state->h, next_h, hash_len);
  noise_clean(next_h, sizeof(next_h));
  return err;
}

size_t noise_symmetricstate_get_mac_length(const NoiseSymmetricState* state) {
  if (state == nullptr || state->cipher == nullptr || !state->cipher->has_key) return 0;
  return state->cipher->mac_len;
}

int noise_symmetricstate_split(NoiseSymmetricState* state, NoiseCipherState** c1,
                               NoiseCipherState** c2) {
  if (c1 != nullptr) *c1 = nullptr;
  if (c2 != nullptr) *c2 = nullptr;
  if (state == nullptr || c1 == nullptr || c2 == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->cipher == nullptr) return NOISE_ERROR_INVALID_STATE;
  const size_t hash_len = state->hash->hash_len;
  const size_t key_len = state->cipher->key_len;
  NoiseCipherState* first = state->cipher->create();
  NoiseCipherState* second = state->cipher->create();
  if (first == nullptr || second == nullptr) {
    noise_free(first, first != nullptr ? first->size : 0);
    noise_free(second, second != nullptr ? second->size : 0);
    return NOISE_ERROR_NO_MEMORY;
  }
  uint8_t k1[NOISE_MAX_HASHLEN];
  uint8_t k2[NOISE_MAX_HASHLEN];
  int err =
      noise_hashstate_hkdf(state->hash, state->ck, hash_len, nullptr, 0, k1, key_len, k2, key_len);
  if (err == NOISE_ERROR_NONE) err = noise_cipherstate_init_key(first, k1, key_len);
  if (err == NOISE_ERROR_NONE) err = noise_cipherstate_init_key(second, k2, key_len);
  noise_clean(k1, sizeof(k1));
  noise_clean(k2, sizeof(k2));
  if (err != NOISE_ERROR_NONE) {
    noise_cipherstate_free(first);
    noise_cipherstate_free(second);
    return err;
  }
  // The chaining key and the handshake cipher are spent; h stays for channel binding.
  noise_clean(state->ck, sizeof(state->ck));
  noise_cipherstate_free(state->cipher);
  state->cipher = nullptr;
  *c1 = first;
  *c2 = second;
  return NOISE_ERROR_NONE;
}
