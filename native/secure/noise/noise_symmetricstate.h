// SymmetricState: the chaining key, the handshake hash and the handshake's CipherState.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/noise/noise_hashstate.h"
#include "native/secure/noise/noise_names.h"

struct NoiseSymmetricState {
  size_t size;  // bytes of the whole object, for noise_free
  NoiseProtocolId id;
  NoiseCipherState* cipher;
  NoiseHashState* hash;
  uint8_t ck[NOISE_MAX_HASHLEN];
  uint8_t h[NOISE_MAX_HASHLEN];
};

// InitializeSymmetric(protocol name) for the protocol `id` names.
int noise_symmetricstate_new_by_id(NoiseSymmetricState** state, const NoiseProtocolId* id);
int noise_symmetricstate_new_by_name(NoiseSymmetricState** state, const char* name);
int noise_symmetricstate_free(NoiseSymmetricState* state);
int noise_symmetricstate_get_protocol_id(const NoiseSymmetricState* state, NoiseProtocolId* id);

int noise_symmetricstate_mix_key(NoiseSymmetricState* state, const uint8_t* input, size_t size);
int noise_symmetricstate_mix_hash(NoiseSymmetricState* state, const uint8_t* input, size_t size);
// EncryptAndHash in place: capacity must hold len plus the MAC length (0 before a
// key is set).
int noise_symmetricstate_encrypt_and_hash(NoiseSymmetricState* state, uint8_t* data, size_t len,
                                          size_t capacity, size_t* out_len);
// DecryptAndHash in place; on failure the handshake hash is left as it was.
int noise_symmetricstate_decrypt_and_hash(NoiseSymmetricState* state, uint8_t* data, size_t len,
                                          size_t* out_len);
// The MAC length that EncryptAndHash adds now: 0 until the first MixKey.
size_t noise_symmetricstate_get_mac_length(const NoiseSymmetricState* state);

// Split(): two new CipherStates (c1, c2); the chaining key is wiped afterwards.
int noise_symmetricstate_split(NoiseSymmetricState* state, NoiseCipherState** c1,
                               NoiseCipherState** c2);
