// One direction of an established channel: the Noise CipherState that the
// split made, with the counters that drive its rekey schedule and its limits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_status.h"

struct NoiseCipherState;

// Made by velsecure_handshake_split, which allocates it zero-filled
// (velsecure_object_alloc) and sets context and cipher; the counters start at 0.
struct VelSecureTransport_s {
  VelSecureContext_s* context;
  NoiseCipherState* cipher;
  uint64_t records_since_rekey;
  uint64_t bytes_since_rekey;
  uint64_t records_total;
  uint64_t bytes_total;
  uint32_t failed;
};

inline constexpr size_t kVelSecureTagLength = 16;
inline constexpr size_t kVelSecureRecordPlaintextMax = 61440;
inline constexpr size_t kVelSecureRecordBodyMax =
    kVelSecureRecordPlaintextMax + kVelSecureTagLength;
// Both ends rekey before whichever of these is passed first.
inline constexpr uint64_t kVelSecureRecordsPerKey = 4096;
inline constexpr uint64_t kVelSecureBytesPerKey = uint64_t{1} << 26;
// A direction that reaches either total is finished for good.
inline constexpr uint64_t kVelSecureRecordsTotalMax = uint64_t{1} << 32;
inline constexpr uint64_t kVelSecureBytesTotalMax = uint64_t{1} << 40;

// Seals plaintext (at most 61440 bytes) into output with ad as associated
// data; out_length = plaintext length + 16. Operation 8.
uint32_t velsecure_transport_encrypt(VelSecureTransport_s* transport, const uint8_t* ad,
                                     size_t ad_length, const uint8_t* plaintext,
                                     size_t plaintext_length, uint8_t* output, size_t capacity,
                                     size_t* out_length, StatusRecord* status);

// Opens ciphertext (16 to 61456 bytes, tag included) into output;
// out_length = ciphertext length - 16. Nothing is released unless the tag
// authenticates. Operation 9.
uint32_t velsecure_transport_decrypt(VelSecureTransport_s* transport, const uint8_t* ad,
                                     size_t ad_length, const uint8_t* ciphertext,
                                     size_t ciphertext_length, uint8_t* output, size_t capacity,
                                     size_t* out_length, StatusRecord* status);

// Noise REKEY of the cipher state; the nonce carries on. Zeroes the since-rekey
// counters. Operation 10.
uint32_t velsecure_transport_rekey(VelSecureTransport_s* transport, StatusRecord* status);

// Frees the cipher state (which wipes the key), wipes the transport and frees it.
void velsecure_transport_destroy(VelSecureTransport_s* transport);

// For the record layer: the limit and rekey check before a record of
// plaintext_length bytes, reported with the caller's operation.
uint32_t velsecure_transport_prepare_record(VelSecureTransport_s* transport,
                                            size_t plaintext_length, uint32_t operation,
                                            StatusRecord* status);

// For the record layer: opens ciphertext and tag (`length` bytes at `sealed`) into output,
// which may be `sealed` itself; the tag is checked before anything is deciphered, and output
// is untouched on failure. Operation 9.
uint32_t velsecure_transport_open_into(VelSecureTransport_s* transport, const uint8_t* ad,
                                       size_t ad_length, const uint8_t* sealed, size_t length,
                                       uint8_t* output, size_t* out_length, StatusRecord* status);

// For the record layer: counts one record of plaintext_length bytes.
void velsecure_transport_count_record(VelSecureTransport_s* transport, size_t plaintext_length);
