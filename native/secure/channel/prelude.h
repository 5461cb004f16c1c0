// The 16-byte prelude that each end sends in the clear before the handshake,
// and the prologue that binds both preludes into the Noise handshake hash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/velsecure_status.h"

// Roles: the side that dialled is the initiator.
inline constexpr uint32_t kVelSecureRoleInitiator = 1;
inline constexpr uint32_t kVelSecureRoleResponder = 2;
// Purposes: the control session, or the data session of one transfer.
inline constexpr uint32_t kVelSecurePurposeControl = 1;
inline constexpr uint32_t kVelSecurePurposeData = 2;

inline constexpr size_t kVelSecurePreludeLength = 16;
inline constexpr size_t kVelSecurePrologueLength = 54;

// Writes this side's 16-byte prelude. invalid_argument (operation 11) for a
// missing output or length, or a role or purpose outside 1 and 2;
// buffer_too_small (detail 1) below 16 bytes of capacity.
uint32_t velsecure_prelude_write(uint32_t role, uint32_t purpose, uint8_t* out, size_t capacity,
                                 size_t* out_length, StatusRecord* status);

// Checks the peer's prelude against this side's role and purpose and writes the
// 54-byte prologue. A refused prelude is protocol_error (operation 11) with a
// detail that names the first field found wrong.
uint32_t velsecure_prelude_accept(uint32_t local_role, uint32_t local_purpose, const uint8_t* peer,
                                  size_t peer_length, uint8_t* prologue, size_t capacity,
                                  size_t* out_length, StatusRecord* status);
