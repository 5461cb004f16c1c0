// The Noise_XX_25519_ChaChaPoly_BLAKE2s handshake as the channel runs it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/channel/transport.h"
#include "native/secure/noise/noise_handshakestate.h"
#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_status.h"

inline constexpr uint32_t VELSECURE_ROLE_INITIATOR = 1;
inline constexpr uint32_t VELSECURE_ROLE_RESPONDER = 2;
inline constexpr size_t VELSECURE_KEY_LENGTH = 32;
inline constexpr size_t VELSECURE_HASH_LENGTH = 32;

// A view of the device's static key pair (40 bytes); the keys stay the caller's.
struct VelSecureIdentityView_s {
  uint32_t size;  // at least 40
  const uint8_t* private_key;
  uint64_t private_key_length;  // 32
  const uint8_t* public_key;
  uint64_t public_key_length;  // 32
};
static_assert(sizeof(VelSecureIdentityView_s) == 40);

struct VelSecureHandshakeConfig {
  uint32_t size;     // at least 72
  uint32_t version;  // 1
  uint32_t role;     // VELSECURE_ROLE_INITIATOR or VELSECURE_ROLE_RESPONDER
  uint32_t purpose;
  const uint8_t* prologue;
  uint64_t prologue_length;  // below 65536; 0 without a prologue
  VelSecureIdentityView_s identity;
};
static_assert(sizeof(VelSecureHandshakeConfig) == 72);

inline constexpr uint32_t kVelSecureHandshakeConfigVersion = 1;

struct VelSecureHandshake {
  VelSecureContext_s* context;
  NoiseHandshakeState* state;
  uint32_t role;
  uint32_t purpose;
};

// Next actions reported by velsecure_handshake_action.
inline constexpr int VELSECURE_HANDSHAKE_NONE = 0;
inline constexpr int VELSECURE_HANDSHAKE_WRITE = 1;
inline constexpr int VELSECURE_HANDSHAKE_READ = 2;
inline constexpr int VELSECURE_HANDSHAKE_SPLIT = 3;
inline constexpr int VELSECURE_HANDSHAKE_COMPLETE = 4;
inline constexpr int VELSECURE_HANDSHAKE_FAILED = -1;

// Creates and starts a handshake with the identity's key pair (a public key that
// does not belong to the private key is refused) and the prologue. Operation 4.
uint32_t velsecure_handshake_create(VelSecureContext_s* context,
                                    const VelSecureHandshakeConfig* config,
                                    VelSecureHandshake** handshake, StatusRecord* status);
void velsecure_handshake_destroy(VelSecureHandshake* handshake);
int velsecure_handshake_action(const VelSecureHandshake* handshake);

// Writes the next message; the ephemeral key comes from the context's random
// callback. capacity must be below 65536. The output is wiped on failure. Operation 5.
uint32_t velsecure_handshake_write(VelSecureHandshake* handshake, const uint8_t* payload,
                                   size_t payload_length, uint8_t* output, size_t capacity,
                                   size_t* output_length, StatusRecord* status);
// Reads a message of 1 to 65535 bytes (through a private copy); the payload output
// is wiped on failure. Operation 6.
uint32_t velsecure_handshake_read(VelSecureHandshake* handshake, const uint8_t* message,
                                  size_t length, uint8_t* payload, size_t capacity,
                                  size_t* payload_length, StatusRecord* status);
// The peer's static public key (32 bytes). Operation 6.
uint32_t velsecure_handshake_remote_static(const VelSecureHandshake* handshake, uint8_t* output,
                                           StatusRecord* status);
// The handshake hash h (32 bytes), once the last message is through. Operation 7.
uint32_t velsecure_handshake_transcript_hash(const VelSecureHandshake* handshake, uint8_t* output,
                                             StatusRecord* status);
// Splits into the send and receive transports; both handles must be empty. Operation 7.
uint32_t velsecure_handshake_split(VelSecureHandshake* handshake, VelSecureTransport_s** send,
                                   VelSecureTransport_s** receive, StatusRecord* status);
