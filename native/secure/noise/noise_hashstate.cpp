#include "native/secure/noise/noise_hashstate.h"

#include <cstring>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"

namespace {

constexpr size_t kMaxBlockLength = 128;

// HMAC (RFC 2104) with the state's hash; keys longer than a block are hashed first.
void hmac(NoiseHashState* state, const uint8_t* key, size_t key_len, const uint8_t* data1,
          size_t data1_len, const uint8_t* data2, size_t data2_len, uint8_t* out) {
  const size_t hash_len = state->hash_len;
  const size_t block_len = state->block_len;
  uint8_t block[kMaxBlockLength] = {};
  if (key_len > block_len) {
    state->reset(state);
    state->update(state, key, key_len);
    state->finalize(state, block);
  } else {
    std::memcpy(block, key, key_len);
  }
  for (size_t i = 0; i < block_len; ++i) block[i] ^= 0x36;
  state->reset(state);
  state->update(state, block, block_len);
  state->update(state, data1, data1_len);
  if (data2_len > 0) state->update(state, data2, data2_len);
  uint8_t inner[NOISE_MAX_HASHLEN];
  state->finalize(state, inner);
  for (size_t i = 0; i < block_len; ++i) block[i] ^= 0x36 ^ 0x5C;
  state->reset(state);
  state->update(state, block, block_len);
  state->update(state, inner, hash_len);
  state->finalize(state, out);
  noise_clean(block, sizeof(block));
  noise_clean(inner, sizeof(inner));
}

}  // namespace

int noise_hashstate_new_by_id(NoiseHashState** state, int id) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  switch (id) {
    case NOISE_HASH_BLAKE2s:
      *state = noise_blake2s_new();
      break;
    case NOISE_HASH_BLAKE2b:
      *state = noise_blake2b_new();
      break;
    case NOISE_HASH_SHA256:
      *state = noise_sha256_new();
      break;
    case NOISE_HASH_SHA512:
      *state = noise_sha512_new();
      break;
    default:
      return NOISE_ERROR_UNKNOWN_ID;
  }
  return *state != nullptr ? NOISE_ERROR_NONE : NOISE_ERROR_NO_MEMORY;
}

int noise_hashstate_new_by_name(NoiseHashState** state, const char* name) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  const int id = noise_name_to_id(NOISE_CATEGORY_HASH, name, std::strlen(name));
  if (id == 0) return NOISE_ERROR_UNKNOWN_NAME;
  return noise_hashstate_new_by_id(state, id);
}

int noise_hashstate_free(NoiseHashState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  noise_free(state, state->size);
  return NOISE_ERROR_NONE;
}

int noise_hashstate_get_hash_id(const NoiseHashState* state) {
  return state != nullptr ? state->hash_id : 0;
}
size_t noise_hashstate_get_hash_length(const NoiseHashState* state) {
  return state != nullptr ? state->hash_len : 0;
}
size_t noise_hashstate_get_block_length(const NoiseHashState* state) {
  return state != nullptr ? state->block_len : 0;
}
size_t noise_hashstate_get_max_hash_length() { return NOISE_MAX_HASHLEN; }
size_t noise_hashstate_get_max_block_length() { return kMaxBlockLength; }

int noise_hashstate_reset(NoiseHashState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  state->reset(state);
  return NOISE_ERROR_NONE;
}

int noise_hashstate_update(NoiseHashState* state, const uint8_t* data, size_t len) {
  if (state == nullptr || (data == nullptr && len != 0)) return NOISE_ERROR_INVALID_PARAM;
  if (len != 0) state->update(state, data, len);
  return NOISE_ERROR_NONE;
}

int noise_hashstate_finalize(NoiseHashState* state, uint8_t* hash, size_t hash_len) {
  if (state == nullptr || hash == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (hash_len != state->hash_len) return NOISE_ERROR_INVALID_LENGTH;
  state->finalize(state, hash);
  return NOISE_ERROR_NONE;
}

int noise_hashstate_hash_one(NoiseHashState* state, const uint8_t* data, size_t data_len,
                             uint8_t* hash, size_t hash_len) {
  return noise_hashstate_hash_two(state, data, data_len, nullptr, 0, hash, hash_len);
}

int noise_hashstate_hash_two(NoiseHashState* state, const uint8_t* data1, size_t data1_len,
                             const uint8_t* data2, size_t data2_len, uint8_t* hash,
                             size_t hash_len) {
  if (state == nullptr || hash == nullptr || (data1 == nullptr && data1_len != 0) ||
      (data2 == nullptr && data2_len != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (hash_len != state->hash_len) return NOISE_ERROR_INVALID_LENGTH;
  state->reset(state);
  if (data1_len != 0) state->update(state, data1, data1_len);
  if (data2_len != 0) state->update(state, data2, data2_len);
  state->finalize(state, hash);
  return NOISE_ERROR_NONE;
}

int noise_hashstate_hkdf(NoiseHashState* state, const uint8_t* key, size_t key_len,
                         const uint8_t* data, size_t data_len, uint8_t* output1, size_t output1_len,
                         uint8_t* output2, size_t output2_len, uint8_t* output3,
                         size_t output3_len) {
  if (state == nullptr || key == nullptr || (data == nullptr && data_len != 0) ||
      output1 == nullptr || output2 == nullptr) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  const size_t hash_len = state->hash_len;
  if (output1_len > hash_len || output2_len > hash_len ||
      (output3 != nullptr && output3_len > hash_len)) {
    return NOISE_ERROR_INVALID_LENGTH;
  }
  uint8_t temp_key[NOISE_MAX_HASHLEN];
  uint8_t out[NOISE_MAX_HASHLEN];
  hmac(state, key, key_len, data, data_len, nullptr, 0, temp_key);
  uint8_t counter = 0x01;
  hmac(state, temp_key, hash_len, &counter, 1, nullptr, 0, out);
  std::memcpy(output1, out, output1_len);
  // Output i is HMAC(temp_key, output i-1 || i), so out is fed back before it is cut.
  counter = 0x02;
  hmac(state, temp_key, hash_len, out, hash_len, &counter, 1, out);
  std::memcpy(output2, out, output2_len);
  if (output3 != nullptr) {
    counter = 0x03;
    hmac(state, temp_key, hash_len, out, hash_len, &counter, 1, out);
    std::memcpy(output3, out, output3_len);
  }
  noise_clean(temp_key, sizeof(temp_key));
  noise_clean(out, sizeof(out));
  return NOISE_ERROR_NONE;
}

NoiseHashState* noise_blake2b_new() { return nullptr; }
NoiseHashState* noise_sha256_new() { return nullptr; }
NoiseHashState* noise_sha512_new() { return nullptr; }
