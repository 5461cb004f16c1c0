#include "native/secure/velsecure_status.h"

#include <array>

#include "native/secure/noise/noise_errors.h"

namespace {

constexpr std::array<const char*, 21> kStatusNames = {
    "ok",
    "invalid_argument",
    "invalid_state",
    "buffer_too_small",
    "out_of_memory",
    "random_failed",
    "invalid_key",
    "authentication_failed",
    "message_too_large",
    "sequence_exhausted",
    "protocol_error",
    "system_error",
    "cancelled",
    "timed_out",
    "truncated",
    "identity_corrupt",
    "identity_mismatch",
    "trust_store_corrupt",
    "trust_not_found",
    "trust_conflict",
    "trust_store_full",
};

uint32_t status_for_noise(int noise_error, uint32_t operation) {
  switch (noise_error) {
    case NOISE_ERROR_NONE:
      return VELSECURE_OK;
    case NOISE_ERROR_NO_MEMORY:
      return VELSECURE_OUT_OF_MEMORY;
    case NOISE_ERROR_MAC_FAILURE:
      return VELSECURE_AUTHENTICATION_FAILED;
    case NOISE_ERROR_SYSTEM:
      // The Noise machinery reports a failed random source as a system error;
      // only key generation and message writing draw random bytes.
      switch (operation) {
        case VELSECURE_OP_IDENTITY:
        case VELSECURE_OP_HANDSHAKE_WRITE:
        case VELSECURE_OP_HANDSHAKE_READ:
          return VELSECURE_RANDOM_FAILED;
        default:
          return VELSECURE_SYSTEM_ERROR;
      }
    case NOISE_ERROR_INVALID_LENGTH:
      return VELSECURE_BUFFER_TOO_SMALL;
    case NOISE_ERROR_INVALID_PARAM:
      return VELSECURE_INVALID_ARGUMENT;
    case NOISE_ERROR_INVALID_STATE:
      return VELSECURE_INVALID_STATE;
    case NOISE_ERROR_INVALID_NONCE:
      return VELSECURE_SEQUENCE_EXHAUSTED;
    case NOISE_ERROR_INVALID_PRIVATE_KEY:
    case NOISE_ERROR_INVALID_PUBLIC_KEY:
      return VELSECURE_INVALID_KEY;
    default:
      return VELSECURE_PROTOCOL_ERROR;
  }
}

}  // namespace

void velsecure_error_reset(StatusRecord* status) {
  if (status == nullptr) return;
  *status = StatusRecord{kVelSecureStatusRecordSize, kVelSecureStatusRecordVersion, 0, 0, 0, 0};
}

const char* velsecure_status_name(uint32_t code) {
  return code < kStatusNames.size() ? kStatusNames[code] : "unknown";
}

uint32_t velsecure_fail(StatusRecord* status, uint32_t code, uint32_t operation, uint32_t detail) {
  velsecure_error_reset(status);
  if (status != nullptr) {
    status->code = code;
    status->operation = operation;
    status->detail = detail;
  }
  return code;
}

uint32_t velsecure_status_from_noise(int noise_error, uint32_t operation, StatusRecord* status) {
  const uint32_t code = status_for_noise(noise_error, operation);
  if (code == VELSECURE_OK) {
    velsecure_error_reset(status);
    return code;
  }
  return velsecure_fail(status, code, operation, static_cast<uint32_t>(noise_error));
}
