// HandshakeState: runs a handshake pattern over a SymmetricState and the four DH keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/noise/noise_dhstate.h"
#include "native/secure/noise/noise_symmetricstate.h"

inline constexpr int NOISE_ACTION_NONE = 0;
inline constexpr int NOISE_ACTION_WRITE_MESSAGE = 0x4101;
inline constexpr int NOISE_ACTION_READ_MESSAGE = 0x4102;
inline constexpr int NOISE_ACTION_FAILED = 0x4103;
inline constexpr int NOISE_ACTION_SPLIT = 0x4104;
inline constexpr int NOISE_ACTION_COMPLETE = 0x4105;

inline constexpr size_t NOISE_PSK_LEN = 32;

struct NoiseHandshakeState {
  size_t size;  // bytes of the whole object, for noise_free
  int role;
  uint16_t requirements;  // the pattern's flags from this side's point of view
  int action;
  int prologue_set;
  const uint8_t* tokens;  // the next token of the pattern
  NoiseSymmetricState* symmetric;
  NoiseDHState* dh_local_static;
  NoiseDHState* dh_local_ephemeral;
  NoiseDHState* dh_remote_static;
  NoiseDHState* dh_remote_ephemeral;
  int has_pre_shared_key;
  uint8_t pre_shared_key[NOISE_PSK_LEN];
};

int noise_handshakestate_new_by_id(NoiseHandshakeState** state, const NoiseProtocolId* id,
                                   int role);
int noise_handshakestate_new_by_name(NoiseHandshakeState** state, const char* name, int role);
int noise_handshakestate_free(NoiseHandshakeState* state);
int noise_handshakestate_get_role(const NoiseHandshakeState* state);
int noise_handshakestate_get_protocol_id(const NoiseHandshakeState* state, NoiseProtocolId* id);
NoiseDHState* noise_handshakestate_get_local_keypair_dh(const NoiseHandshakeState* state);
NoiseDHState* noise_handshakestate_get_remote_public_key_dh(const NoiseHandshakeState* state);

int noise_handshakestate_needs_pre_shared_key(const NoiseHandshakeState* state);
int noise_handshakestate_has_pre_shared_key(const NoiseHandshakeState* state);
int noise_handshakestate_set_pre_shared_key(NoiseHandshakeState* state, const uint8_t* key,
                                            size_t key_len);
// Mixes the prologue into the handshake hash; only before start, and only once.
int noise_handshakestate_set_prologue(NoiseHandshakeState* state, const void* prologue,
                                      size_t prologue_len);
int noise_handshakestate_needs_local_keypair(const NoiseHandshakeState* state);
int noise_handshakestate_has_local_keypair(const NoiseHandshakeState* state);
int noise_handshakestate_needs_remote_public_key(const NoiseHandshakeState* state);
int noise_handshakestate_has_remote_public_key(const NoiseHandshakeState* state);

int noise_handshakestate_start(NoiseHandshakeState* state);
int noise_handshakestate_get_action(const NoiseHandshakeState* state);

// Writes the next message with `payload` into `message` (up to capacity); *message_len
// is its length. Any failure leaves the handshake failed.
int noise_handshakestate_write_message(NoiseHandshakeState* state, const uint8_t* payload,
                                       size_t payload_len, uint8_t* message, size_t capacity,
                                       size_t* message_len);
// Reads the next message, decrypting it in place, and copies its payload out. Any
// failure leaves the handshake failed.
int noise_handshakestate_read_message(NoiseHandshakeState* state, uint8_t* message,
                                      size_t message_len, uint8_t* payload, size_t payload_capacity,
                                      size_t* payload_len);

// The two transport CipherStates: the initiator sends with c1 and receives with c2,
// the responder the other way round.
int noise_handshakestate_split(NoiseHandshakeState* state, NoiseCipherState** send,
                               NoiseCipherState** receive);
// The handshake hash h, once the last message has been written or read.
int noise_handshakestate_get_handshake_hash(const NoiseHandshakeState* state, uint8_t* hash,
                                            size_t max_hash_len);
