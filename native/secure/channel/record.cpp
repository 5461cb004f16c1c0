#include "native/secure/channel/record.h"

#include <cstring>

uint32_t velsecure_record_encrypt(VelSecureTransport_s* send, const uint8_t* plaintext,
                                  size_t length, uint8_t* output, size_t capacity,
                                  size_t* out_length, StatusRecord* status) {
  if (out_length == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_ENCRYPT);
  }
  *out_length = 0;
  if (send == nullptr || output == nullptr || (plaintext == nullptr && length != 0)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_ENCRYPT);
  }
  if (length > kVelSecureRecordPlaintextMax) {
    return velsecure_fail(status, VELSECURE_MESSAGE_TOO_LARGE, VELSECURE_OP_RECORD_ENCRYPT,
                          static_cast<uint32_t>(length));
  }
  const size_t record_length = length + kVelSecureRecordOverhead;
  if (capacity < record_length) {
    return velsecure_fail(status, VELSECURE_BUFFER_TOO_SMALL, VELSECURE_OP_RECORD_ENCRYPT,
                          static_cast<uint32_t>(record_length));
  }
  if (const uint32_t code =
          velsecure_transport_prepare_record(send, length, VELSECURE_OP_RECORD_ENCRYPT, status)) {
    return code;
  }
  const size_t body_length = length + kVelSecureTagLength;
  output[0] = static_cast<uint8_t>(body_length >> 8);
  output[1] = static_cast<uint8_t>(body_length);
  size_t sealed = 0;
  const uint32_t code =
      velsecure_transport_encrypt(send, output, kVelSecureRecordHeaderLength, plaintext, length,
                                  output + kVelSecureRecordHeaderLength,
                                  capacity - kVelSecureRecordHeaderLength, &sealed, status);
  if (code != VELSECURE_OK || sealed != body_length) {
    explicit_bzero(output, record_length);
    if (code != VELSECURE_OK) {
      if (status != nullptr) status->operation = VELSECURE_OP_RECORD_ENCRYPT;
      return code;
    }
    return velsecure_fail(status, VELSECURE_PROTOCOL_ERROR, VELSECURE_OP_RECORD_ENCRYPT,
                          static_cast<uint32_t>(sealed));
  }
  *out_length = record_length;
  velsecure_transport_count_record(send, length);
  return VELSECURE_OK;
}
