// CipherState: an AEAD key with its 64-bit nonce, as the Noise framework runs it.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t NOISE_MAX_PAYLOAD_LEN = 65535;

// The part every cipher backend shares; a backend's state follows it.
struct NoiseCipherState {
  size_t size;  // bytes of the whole object, for noise_free
  int cipher_id;
  int has_key;
  size_t key_len;
  size_t mac_len;
  uint64_t n;
  void (*init_key)(NoiseCipherState* state, const uint8_t* key);
  // Seals the len bytes of input into output (which may be input) and appends the
  // mac_len-byte tag there.
  void (*encrypt)(NoiseCipherState* state, uint64_t nonce, const uint8_t* ad, size_t ad_len,
                  const uint8_t* input, uint8_t* output, size_t len);
  // Checks the tag behind the len bytes of input, then opens them into output (which may be
  // input); NOISE_ERROR_MAC_FAILURE leaves output untouched.
  int (*decrypt)(NoiseCipherState* state, uint64_t nonce, const uint8_t* ad, size_t ad_len,
                 const uint8_t* input, uint8_t* output, size_t len);
  NoiseCipherState* (*create)();
};

int noise_cipherstate_new_by_id(NoiseCipherState** state, int id);
int noise_cipherstate_new_by_name(NoiseCipherState** state, const char* name);
int noise_cipherstate_free(NoiseCipherState* state);
int noise_cipherstate_get_cipher_id(const NoiseCipherState* state);
size_t noise_cipherstate_get_key_length(const NoiseCipherState* state);
size_t noise_cipherstate_get_mac_length(const NoiseCipherState* state);
size_t noise_cipherstate_get_max_key_length();
size_t noise_cipherstate_get_max_mac_length();

// Sets the key (key_len must be the key length) and the nonce to 0.
int noise_cipherstate_init_key(NoiseCipherState* state, const uint8_t* key, size_t key_len);
int noise_cipherstate_has_key(const NoiseCipherState* state);

// Seals the len bytes at data in place, appending the tag (capacity must hold
// len + mac length); without a key the data passes unchanged. *out_len is the
// result's length.
int noise_cipherstate_encrypt_with_ad(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                      uint8_t* data, size_t len, size_t capacity, size_t* out_len);
// The same, with the result written to output (capacity as above) and the plaintext left as
// it is; output is either plaintext itself or does not overlap it.
int noise_cipherstate_encrypt_to(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                 const uint8_t* plaintext, size_t len, uint8_t* output,
                                 size_t capacity, size_t* out_len);
// Opens the len bytes at data (ciphertext and tag) in place; *out_len is the
// plaintext length. A tag mismatch gives NOISE_ERROR_MAC_FAILURE.
int noise_cipherstate_decrypt_with_ad(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                      uint8_t* data, size_t len, size_t* out_len);
// The same, with the plaintext written to output (room for len - mac length bytes) and the
// sealed bytes left as they are; output is untouched on failure.
int noise_cipherstate_decrypt_to(NoiseCipherState* state, const uint8_t* ad, size_t ad_len,
                                 const uint8_t* sealed, size_t len, uint8_t* output,
                                 size_t* out_len);
int noise_cipherstate_encrypt(NoiseCipherState* state, uint8_t* data, size_t len, size_t capacity,
                              size_t* out_len);
int noise_cipherstate_decrypt(NoiseCipherState* state, uint8_t* data, size_t len, size_t* out_len);

// REKEY: the first key-length bytes of the encryption of zeros under nonce 2^64-1;
// the nonce is kept.
int noise_cipherstate_rekey(NoiseCipherState* state);
// Moves the nonce forward (never back).
int noise_cipherstate_set_nonce(NoiseCipherState* state, uint64_t nonce);

// Backend constructors: null for algorithms this system does not carry.
NoiseCipherState* noise_chachapoly_new();
NoiseCipherState* noise_aesgcm_new();
