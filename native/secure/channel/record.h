// Sealing outgoing records: a 2-byte big-endian length L (plaintext + 16), then
// the ChaCha20-Poly1305 ciphertext and tag, authenticated with the length field
// as associated data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/channel/transport.h"

inline constexpr size_t kVelSecureRecordHeaderLength = 2;
inline constexpr size_t kVelSecureRecordOverhead =
    kVelSecureRecordHeaderLength + kVelSecureTagLength;
inline constexpr size_t kVelSecureRecordMax =
    kVelSecureRecordPlaintextMax + kVelSecureRecordOverhead;

// Seals one record of at most 61440 plaintext bytes into output (capacity at
// least length + 18), rekeying first when the schedule says so. The plaintext is
// sealed without a copy either where it lies at output + 2 or from a buffer
// apart from output. Operation 12.
uint32_t velsecure_record_encrypt(VelSecureTransport_s* send, const uint8_t* plaintext,
                                  size_t length, uint8_t* output, size_t capacity,
                                  size_t* out_length, StatusRecord* status);
