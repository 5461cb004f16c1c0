// DHState: a Diffie-Hellman key pair or public key.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int NOISE_KEY_TYPE_KEYPAIR = 0;
inline constexpr int NOISE_KEY_TYPE_EPHEMERAL_ONLY = 1;
inline constexpr size_t NOISE_MAX_DH_KEY_LEN = 32;

// Every backend this system carries keeps its keys in the fixed arrays here.
struct NoiseDHState {
  size_t size;  // bytes of the whole object, for noise_free
  int dh_id;
  int role;
  int key_type;
  int has_private_key;
  int has_public_key;
  int is_null_public_key;
  size_t private_key_len;
  size_t public_key_len;
  size_t shared_key_len;
  uint8_t private_key[NOISE_MAX_DH_KEY_LEN];
  uint8_t public_key[NOISE_MAX_DH_KEY_LEN];
  // Draws a private key from the random source and derives its public key.
  int (*generate_keypair)(NoiseDHState* state);
  // Derives the public key of private_key into public_key.
  int (*derive_public_key)(const uint8_t* private_key, uint8_t* public_key);
  int (*validate_public_key)(const uint8_t* public_key);
  int (*calculate)(const uint8_t* private_key, const uint8_t* public_key, uint8_t* shared);
};

int noise_dhstate_new_by_id(NoiseDHState** state, int id);
int noise_dhstate_new_by_name(NoiseDHState** state, const char* name);
int noise_dhstate_free(NoiseDHState* state);
int noise_dhstate_get_dh_id(const NoiseDHState* state);
size_t noise_dhstate_get_public_key_length(const NoiseDHState* state);
size_t noise_dhstate_get_private_key_length(const NoiseDHState* state);
size_t noise_dhstate_get_shared_key_length(const NoiseDHState* state);
int noise_dhstate_is_ephemeral_only(const NoiseDHState* state);
int noise_dhstate_has_keypair(const NoiseDHState* state);
int noise_dhstate_has_public_key(const NoiseDHState* state);
int noise_dhstate_get_role(const NoiseDHState* state);
int noise_dhstate_set_role(NoiseDHState* state, int role);

int noise_dhstate_generate_keypair(NoiseDHState* state);
// Sets both halves; a public key that does not belong to the private key is refused
// with NOISE_ERROR_INVALID_PUBLIC_KEY.
int noise_dhstate_set_keypair(NoiseDHState* state, const uint8_t* private_key,
                              size_t private_key_len, const uint8_t* public_key,
                              size_t public_key_len);
// Sets the private key and derives the public key.
int noise_dhstate_set_keypair_private(NoiseDHState* state, const uint8_t* private_key,
                                      size_t private_key_len);
int noise_dhstate_get_keypair(const NoiseDHState* state, uint8_t* private_key,
                              size_t private_key_len, uint8_t* public_key, size_t public_key_len);
int noise_dhstate_set_public_key(NoiseDHState* state, const uint8_t* public_key,
                                 size_t public_key_len);
int noise_dhstate_get_public_key(const NoiseDHState* state, uint8_t* public_key,
                                 size_t public_key_len);
int noise_dhstate_set_null_public_key(NoiseDHState* state);
int noise_dhstate_is_null_public_key(const NoiseDHState* state);
int noise_dhstate_clear_key(NoiseDHState* state);
int noise_dhstate_copy(NoiseDHState* state, const NoiseDHState* from);

// DH(private_key_state's private key, public_key_state's public key). A null public
// key yields zeros; a result of all zeros from a real key is refused with
// NOISE_ERROR_INVALID_PUBLIC_KEY.
int noise_dhstate_calculate(const NoiseDHState* private_key_state,
                            const NoiseDHState* public_key_state, uint8_t* shared_key,
                            size_t shared_key_len);

// The SHA-256 fingerprint text of the public key (see noise_format_fingerprint).
int noise_dhstate_format_fingerprint(const NoiseDHState* state, int fingerprint_type, char* buffer,
                                     size_t len);

// Backend constructors: null for algorithms this system does not carry.
NoiseDHState* noise_curve25519_new();
NoiseDHState* noise_curve448_new();
NoiseDHState* noise_newhope_new();
