// A peer binding: ties the static key a handshake presented to the identity a peer
// claims in its HELLO, against an expected fingerprint, key and purpose.
#pragma once

#include <cstdint>

#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_status.h"

struct VelSecurePeerBinding {
  VelSecureContext_s* context;
  uint8_t claimed_id[16];
  uint8_t expected_fingerprint[32];
  uint8_t expected_key[32];
  uint32_t purpose;
  uint8_t proved_key[32];
  uint32_t proved;
  uint32_t accepted;
  uint32_t failed;
};

// Reasons written as the detail of identity_mismatch.
inline constexpr uint32_t VELSECURE_BINDING_FINGERPRINT_MISMATCH = 1;
inline constexpr uint32_t VELSECURE_BINDING_ID_MISMATCH = 2;
inline constexpr uint32_t VELSECURE_BINDING_KEY_MISMATCH = 3;
inline constexpr uint32_t VELSECURE_BINDING_PURPOSE_MISMATCH = 4;

// Every failure carries operation 24. purpose is 1 (control) or 2 (data).
uint32_t velsecure_peer_binding_create(VelSecureContext_s* context, const uint8_t claimed_id[16],
                                       const uint8_t expected_fingerprint[32],
                                       const uint8_t expected_key[32], uint32_t purpose,
                                       VelSecurePeerBinding** binding, StatusRecord* status);
// On a fresh binding: the presented key's fingerprint must be the expected one.
uint32_t velsecure_peer_binding_prove_handshake(VelSecurePeerBinding* binding,
                                                const uint8_t presented_key[32],
                                                StatusRecord* status);
// On a proved binding: the HELLO's identifier, key and purpose must be the expected ones.
uint32_t velsecure_peer_binding_accept_hello(VelSecurePeerBinding* binding, const uint8_t id[16],
                                             const uint8_t key[32], uint32_t purpose,
                                             StatusRecord* status);
// True once the HELLO was accepted and nothing failed.
bool velsecure_peer_binding_ready(const VelSecurePeerBinding* binding);
// The proved key once accepted; otherwise the output is zeroed and invalid_state.
uint32_t velsecure_peer_binding_remote_static(const VelSecurePeerBinding* binding, uint8_t key[32],
                                              StatusRecord* status);
void velsecure_peer_binding_destroy(VelSecurePeerBinding* binding);
