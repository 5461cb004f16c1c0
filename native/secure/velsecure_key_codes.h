// What the system derives from static public keys: fingerprints, safety codes and
// separate-contact identifiers. Device identifiers are the 16 raw bytes of a Uuid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/velsecure_status.h"

inline constexpr size_t VELSECURE_FINGERPRINT_LENGTH = 32;
// 12 groups of 4 upper-case hex digits joined by "-", and a zero byte.
inline constexpr size_t VELSECURE_SAFETY_CODE_LENGTH = 59;
inline constexpr size_t VELSECURE_SAFETY_CODE_CAPACITY = 60;
inline constexpr size_t VELSECURE_DEVICE_ID_LENGTH = 16;

// BLAKE2s-256 of the 32 public key bytes. The output is zeroed on failure. Operation 19.
uint32_t velsecure_public_key_fingerprint(const uint8_t public_key[32], uint8_t fingerprint[32],
                                          StatusRecord* status);

// The code both users compare: the same text whichever side is A. Operation 19.
uint32_t velsecure_safety_code(const uint8_t id_a[16], const uint8_t key_a[32],
                               const uint8_t id_b[16], const uint8_t key_b[32],
                               const uint8_t handshake_hash[32], char text[60],
                               StatusRecord* status);

// A stable version-8 identifier for a peer whose key changed, filed as a separate
// contact. Operation 19.
uint32_t velsecure_separate_contact_uuid(const uint8_t claimed_id[16], const uint8_t public_key[32],
                                         uint8_t uuid[16], StatusRecord* status);
