// The handshake pump: prelude exchange and the three Noise_XX messages as a
// byte-in, byte-out state machine. It does no input or output of its own and
// reads no clock: the caller feeds received bytes, sends what it is given, and
// passes the current time of a monotonic millisecond clock into every call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/channel/prelude.h"
#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_handshake.h"
#include "native/secure/velsecure_status.h"

struct VelSecureTransport_s;

// The argument of velsecure_handshake_pump_create: 64 bytes.
struct VelSecurePumpConfig {
  uint32_t size;                  // at least 64
  uint32_t version;               // 1
  uint32_t role;                  // 1 initiator, 2 responder
  uint32_t purpose;               // 1 control, 2 data
  uint64_t handshake_timeout_ms;  // non-zero
  VelSecureIdentityView_s identity;
};
static_assert(sizeof(VelSecurePumpConfig) == 64);

inline constexpr uint32_t kVelSecurePumpConfigVersion = 1;
// A handshake message on the wire: a 2-byte big-endian length of 1 to 256, then the message.
inline constexpr size_t kVelSecureHandshakeMessageMax = 256;
inline constexpr size_t kVelSecureHandshakeFrameMax = 2 + kVelSecureHandshakeMessageMax;

// Flags of velsecure_handshake_pump_interest.
inline constexpr uint32_t kVelSecurePumpWantsInput = 1;
inline constexpr uint32_t kVelSecurePumpHasOutput = 2;
inline constexpr uint32_t kVelSecurePumpComplete = 4;
inline constexpr uint32_t kVelSecurePumpFailed = 8;

struct VelSecureHandshakePump_s {
  VelSecureContext_s* context;
  VelSecureHandshake* handshake;  // from the accepted peer prelude until the result is taken
  uint32_t role;
  uint32_t purpose;
  uint64_t deadline_ms;
  // Key copies, wiped as soon as the handshake object exists.
  uint8_t private_key[32];
  uint8_t public_key[32];
  uint8_t peer_prelude[kVelSecurePreludeLength];
  size_t peer_prelude_filled;
  uint8_t prologue[kVelSecurePrologueLength];
  // The incoming handshake frame.
  uint8_t in_length_field[2];
  size_t in_length_filled;
  size_t in_expected;
  uint8_t in_message[kVelSecureHandshakeMessageMax];
  size_t in_message_filled;
  // The outgoing prelude or handshake frame.
  uint8_t out_buffer[kVelSecureHandshakeFrameMax];
  size_t out_length;
  size_t out_sent;
  uint32_t ready_to_split;
  uint32_t failed;
  uint32_t result_taken;
  StatusRecord failure;
};

// Checks the config (invalid_argument, operation 4), stores role, purpose, the
// deadline (now + timeout, saturating) and copies of the key pair, and queues
// the local prelude as the first output.
uint32_t velsecure_handshake_pump_create(VelSecureContext_s* context,
                                         const VelSecurePumpConfig* config, uint64_t now_ms,
                                         VelSecureHandshakePump_s** pump, StatusRecord* status);

// Sets flags from kVelSecurePump*: input wanted, output waiting, result ready, failed.
uint32_t velsecure_handshake_pump_interest(VelSecureHandshakePump_s* pump, uint64_t now_ms,
                                           uint32_t* flags, StatusRecord* status);

// The bytes waiting to be sent; the pointer stays valid until the next call on the pump.
uint32_t velsecure_handshake_pump_output(VelSecureHandshakePump_s* pump, uint64_t now_ms,
                                         const uint8_t** data, size_t* length,
                                         StatusRecord* status);

// Marks count bytes of the waiting output as sent; more than waits fails the pump.
uint32_t velsecure_handshake_pump_consume_output(VelSecureHandshakePump_s* pump, size_t count,
                                                 uint64_t now_ms, StatusRecord* status);

// Feeds received bytes. Bytes after the last handshake message are not taken:
// they belong to the record reader.
uint32_t velsecure_handshake_pump_input(VelSecureHandshakePump_s* pump, const uint8_t* data,
                                        size_t length, size_t* consumed, uint64_t now_ms,
                                        StatusRecord* status);

// Once, after the handshake completed: the send and receive transports, the
// peer's static public key and the handshake hash.
uint32_t velsecure_handshake_pump_take_result(VelSecureHandshakePump_s* pump,
                                              VelSecureTransport_s** send,
                                              VelSecureTransport_s** receive,
                                              uint8_t remote_static[32], uint8_t handshake_hash[32],
                                              StatusRecord* status);

// Fails a pump that is still in its handshake with cancelled.
uint32_t velsecure_handshake_pump_cancel(VelSecureHandshakePump_s* pump, StatusRecord* status);

// Destroys the handshake, wipes the pump and frees it; null is ignored.
void velsecure_handshake_pump_destroy(VelSecureHandshakePump_s* pump);
