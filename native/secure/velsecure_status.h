// Status codes, the caller's status record and operation identifiers shared by
// every velsecure_ function.
#pragma once

#include <cstdint>

enum VelSecureStatusCode : uint32_t {
  VELSECURE_OK = 0,
  VELSECURE_INVALID_ARGUMENT = 1,
  VELSECURE_INVALID_STATE = 2,
  VELSECURE_BUFFER_TOO_SMALL = 3,
  VELSECURE_OUT_OF_MEMORY = 4,
  VELSECURE_RANDOM_FAILED = 5,
  VELSECURE_INVALID_KEY = 6,
  VELSECURE_AUTHENTICATION_FAILED = 7,
  VELSECURE_MESSAGE_TOO_LARGE = 8,
  VELSECURE_SEQUENCE_EXHAUSTED = 9,
  VELSECURE_PROTOCOL_ERROR = 10,
  VELSECURE_SYSTEM_ERROR = 11,
  VELSECURE_CANCELLED = 12,
  VELSECURE_TIMED_OUT = 13,
  VELSECURE_TRUNCATED = 14,
  VELSECURE_IDENTITY_CORRUPT = 15,
  VELSECURE_IDENTITY_MISMATCH = 16,
  VELSECURE_TRUST_STORE_CORRUPT = 17,
  VELSECURE_TRUST_NOT_FOUND = 18,
  VELSECURE_TRUST_CONFLICT = 19,
  VELSECURE_TRUST_STORE_FULL = 20,
};

// Which operation a failure came from; written into StatusRecord::operation.
enum VelSecureOperation : uint32_t {
  VELSECURE_OP_NONE = 0,
  VELSECURE_OP_CONTEXT_CREATE = 1,
  VELSECURE_OP_CONTEXT_RANDOM = 2,
  VELSECURE_OP_IDENTITY = 3,
  VELSECURE_OP_HANDSHAKE_CREATE = 4,
  VELSECURE_OP_HANDSHAKE_WRITE = 5,
  VELSECURE_OP_HANDSHAKE_READ = 6,
  VELSECURE_OP_HANDSHAKE_RESULT = 7,
  VELSECURE_OP_TRANSPORT_ENCRYPT = 8,
  VELSECURE_OP_TRANSPORT_DECRYPT = 9,
  VELSECURE_OP_TRANSPORT_REKEY = 10,
  VELSECURE_OP_PRELUDE = 11,
  VELSECURE_OP_RECORD_ENCRYPT = 12,
  VELSECURE_OP_RECORD_READER = 13,
  VELSECURE_OP_KEY_CODES = 19,
  VELSECURE_OP_PEER_BINDING = 24,
};

// The optional out-record every velsecure_ function fills: six u32 fields, 24 bytes.
struct StatusRecord {
  uint32_t size;
  uint32_t version;
  uint32_t code;
  uint32_t operation;
  uint32_t reserved;
  uint32_t detail;
};
static_assert(sizeof(StatusRecord) == 24);

inline constexpr uint32_t kVelSecureStatusRecordSize = 24;
inline constexpr uint32_t kVelSecureStatusRecordVersion = 1;

// Sets size 24 and version 1 and zeroes the rest; a null record is ignored.
void velsecure_error_reset(StatusRecord* status);

// The static name of a status code ("ok", "invalid_argument", ...); "unknown" above 20.
const char* velsecure_status_name(uint32_t code);

// Resets the record, then writes code, operation and detail; returns code. For
// implementations of velsecure_ functions.
uint32_t velsecure_fail(StatusRecord* status, uint32_t code, uint32_t operation,
                        uint32_t detail = 0);

// Maps a Noise error identifier onto a status code for the given operation and
// fills the record (detail: the Noise identifier). 0 resets the record and gives ok.
uint32_t velsecure_status_from_noise(int noise_error, uint32_t operation, StatusRecord* status);
