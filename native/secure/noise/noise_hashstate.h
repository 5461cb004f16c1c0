// HashState: a hash function with HMAC and the HKDF of the Noise framework.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t NOISE_MAX_HASHLEN = 64;

struct NoiseHashState;

// The part every hash backend shares; a backend's state follows it.
struct NoiseHashState {
  size_t size;  // bytes of the whole object, for noise_free
  int hash_id;
  size_t hash_len;
  size_t block_len;
  void (*reset)(NoiseHashState* state);
  void (*update)(NoiseHashState* state, const uint8_t* data, size_t len);
  void (*finalize)(NoiseHashState* state, uint8_t* hash);
};

int noise_hashstate_new_by_id(NoiseHashState** state, int id);
int noise_hashstate_new_by_name(NoiseHashState** state, const char* name);
int noise_hashstate_free(NoiseHashState* state);
int noise_hashstate_get_hash_id(const NoiseHashState* state);
size_t noise_hashstate_get_hash_length(const NoiseHashState* state);
size_t noise_hashstate_get_block_length(const NoiseHashState* state);
size_t noise_hashstate_get_max_hash_length();
size_t noise_hashstate_get_max_block_length();

int noise_hashstate_reset(NoiseHashState* state);
int noise_hashstate_update(NoiseHashState* state, const uint8_t* data, size_t len);
// hash_len must be the hash length.
int noise_hashstate_finalize(NoiseHashState* state, uint8_t* hash, size_t hash_len);
int noise_hashstate_hash_one(NoiseHashState* state, const uint8_t* data, size_t data_len,
                             uint8_t* hash, size_t hash_len);
int noise_hashstate_hash_two(NoiseHashState* state, const uint8_t* data1, size_t data1_len,
                             const uint8_t* data2, size_t data2_len, uint8_t* hash,
                             size_t hash_len);

// HKDF(chaining key, input key material) with two outputs, or three when output3 is
// given; each output is truncated to its requested length (at most the hash length).
int noise_hashstate_hkdf(NoiseHashState* state, const uint8_t* key, size_t key_len,
                         const uint8_t* data, size_t data_len, uint8_t* output1, size_t output1_len,
                         uint8_t* output2, size_t output2_len, uint8_t* output3 = nullptr,
                         size_t output3_len = 0);

// Backend constructors: null for algorithms this system does not carry.
NoiseHashState* noise_blake2s_new();
NoiseHashState* noise_blake2b_new();
NoiseHashState* noise_sha256_new();
NoiseHashState* noise_sha512_new();
