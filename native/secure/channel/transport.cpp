#include "native/secure/channel/transport.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/noise/noise_errors.h"

namespace {

uint32_t succeed(StatusRecord* status) {
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

bool usable(const VelSecureTransport_s* transport) {
  return transport != nullptr && transport->failed == 0;
}

// Ciphertext and plaintext buffers are not key material; zeroing them fast
// keeps the record path at the speed of the cipher.
void clear_bulk(void* buffer, size_t length) {
  if (buffer != nullptr && length != 0) explicit_bzero(buffer, length);
}

}  // namespace

uint32_t velsecure_transport_encrypt(VelSecureTransport_s* transport, const uint8_t* ad,
                                     size_t ad_length, const uint8_t* plaintext,
                                     size_t plaintext_length, uint8_t* output, size_t capacity,
                                     size_t* out_length, StatusRecord* status) {
  if (out_length != nullptr) *out_length = 0;
  if (!usable(transport) || (ad == nullptr && ad_length != 0) ||
      plaintext_length > kVelSecureRecordPlaintextMax ||
      (plaintext == nullptr && plaintext_length != 0) || output == nullptr ||
      out_length == nullptr || capacity < plaintext_length + kVelSecureTagLength) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_TRANSPORT_ENCRYPT);
  }
  // Plaintext elsewhere is sealed straight into output; only one that overlaps output without
  // lying exactly on it is moved first.
  const uint8_t* source = plaintext;
  const auto from = reinterpret_cast<uintptr_t>(plaintext);
  const auto to = reinterpret_cast<uintptr_t>(output);
  if (plaintext_length != 0 && from != to && from < to + capacity && to < from + plaintext_length) {
    std::memmove(output, plaintext, plaintext_length);
    source = output;
  }
  size_t sealed = 0;
  const int error = noise_cipherstate_encrypt_to(transport->cipher, ad, ad_length, source,
                                                 plaintext_length, output, capacity, &sealed);
  if (error != NOISE_ERROR_NONE) {
    transport->failed = 1;
    clear_bulk(output, capacity);
    return velsecure_status_from_noise(error, VELSECURE_OP_TRANSPORT_ENCRYPT, status);
  }
  *out_length = sealed;
  return succeed(status);
}

uint32_t velsecure_transport_decrypt(VelSecureTransport_s* transport, const uint8_t* ad,
                                     size_t ad_length, const uint8_t* ciphertext,
                                     size_t ciphertext_length, uint8_t* output, size_t capacity,
                                     size_t* out_length, StatusRecord* status) {
  if (out_length != nullptr) *out_length = 0;
  if (!usable(transport) || output == nullptr || (ad == nullptr && ad_length != 0) ||
      ciphertext == nullptr || ciphertext_length < kVelSecureTagLength ||
      ciphertext_length > kVelSecureRecordBodyMax || out_length == nullptr ||
      capacity < ciphertext_length - kVelSecureTagLength) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_TRANSPORT_DECRYPT);
  }
  // The private copy is opened in place, so the caller's buffer never holds
  // plaintext that failed to authenticate.
  auto* copy = static_cast<uint8_t*>(std::malloc(ciphertext_length));
  if (copy == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_TRANSPORT_DECRYPT);
  }
  std::memcpy(copy, ciphertext, ciphertext_length);
  size_t opened = 0;
  const uint32_t code = velsecure_transport_open_into(transport, ad, ad_length, copy,
                                                      ciphertext_length, copy, &opened, status);
  if (code == VELSECURE_OK) {
    std::memcpy(output, copy, opened);
    *out_length = opened;
  } else {
    clear_bulk(output, capacity);
  }
  clear_bulk(copy, ciphertext_length);
  std::free(copy);
  return code;
}

uint32_t velsecure_transport_open_into(VelSecureTransport_s* transport, const uint8_t* ad,
                                       size_t ad_length, const uint8_t* sealed, size_t length,
                                       uint8_t* output, size_t* out_length, StatusRecord* status) {
  *out_length = 0;
  const int error = noise_cipherstate_decrypt_to(transport->cipher, ad, ad_length, sealed, length,
                                                 output, out_length);
  if (error != NOISE_ERROR_NONE) {
    transport->failed = 1;
    *out_length = 0;
    return velsecure_status_from_noise(error, VELSECURE_OP_TRANSPORT_DECRYPT, status);
  }
  return succeed(status);
}

uint32_t velsecure_transport_rekey(VelSecureTransport_s* transport, StatusRecord* status) {
  if (!usable(transport)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_TRANSPORT_REKEY);
  }
  const int error = noise_cipherstate_rekey(transport->cipher);
  if (error != NOISE_ERROR_NONE) {
    transport->failed = 1;
    return velsecure_status_from_noise(error, VELSECURE_OP_TRANSPORT_REKEY, status);
  }
  transport->records_since_rekey = 0;
  transport->bytes_since_rekey = 0;
  return succeed(status);
}

void velsecure_transport_destroy(VelSecureTransport_s* transport) {
  if (transport == nullptr) return;
  noise_cipherstate_free(transport->cipher);
  velsecure_object_free(transport->context, transport, sizeof(VelSecureTransport_s));
}

uint32_t velsecure_transport_prepare_record(VelSecureTransport_s* transport,
                                            size_t plaintext_length, uint32_t operation,
                                            StatusRecord* status) {
  if (!usable(transport) || transport->cipher == nullptr ||
      !noise_cipherstate_has_key(transport->cipher)) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, operation);
  }
  if (transport->records_total >= kVelSecureRecordsTotalMax ||
      plaintext_length > kVelSecureBytesTotalMax - transport->bytes_total) {
    transport->failed = 1;
    return velsecure_fail(status, VELSECURE_SEQUENCE_EXHAUSTED, operation);
  }
  const bool within_key = transport->records_since_rekey < kVelSecureRecordsPerKey &&
                          transport->bytes_since_rekey < kVelSecureBytesPerKey &&
                          plaintext_length <= kVelSecureBytesPerKey - transport->bytes_since_rekey;
  if (within_key) return succeed(status);
  if (const uint32_t code = velsecure_transport_rekey(transport, status)) {
    if (status != nullptr) status->operation = operation;
    return code;
  }
  return VELSECURE_OK;
}

void velsecure_transport_count_record(VelSecureTransport_s* transport, size_t plaintext_length) {
  transport->records_since_rekey += 1;
  transport->bytes_since_rekey += plaintext_length;
  transport->records_total += 1;
  transport->bytes_total += plaintext_length;
}
