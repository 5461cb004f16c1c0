#include "native/secure/velsecure_identity.h"

#include <cstring>

#include "native/secure/noise/noise_dhstate.h"
#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_util.h"

namespace {

constexpr size_t kKeyLength = 32;

}  // namespace

uint32_t velsecure_identity_generate(VelSecureContext_s* context, uint8_t private_key[32],
                                     uint8_t public_key[32], StatusRecord* status) {
  if (context == nullptr || private_key == nullptr || public_key == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_IDENTITY);
  }
  NoiseDHState* dh = nullptr;
  int err = noise_dhstate_new_by_name(&dh, "25519");
  if (err == NOISE_ERROR_NONE) {
    VelSecureRandomScope scope(&context->provider);
    err = noise_dhstate_generate_keypair(dh);
  }
  if (err == NOISE_ERROR_NONE) {
    err = noise_dhstate_get_keypair(dh, private_key, kKeyLength, public_key, kKeyLength);
  }
  if (dh != nullptr) noise_dhstate_free(dh);
  if (err != NOISE_ERROR_NONE) {
    velsecure_context_clear(context, private_key, kKeyLength);
    velsecure_context_clear(context, public_key, kKeyLength);
  }
  return velsecure_status_from_noise(err, VELSECURE_OP_IDENTITY, status);
}

uint32_t velsecure_identity_public_from_private(VelSecureContext_s* context,
                                                const uint8_t private_key[32],
                                                uint8_t public_key[32], StatusRecord* status) {
  if (context == nullptr || private_key == nullptr || public_key == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_IDENTITY);
  }
  // A private copy: the caller's key may sit in memory the DH object must not alias.
  uint8_t copy[kKeyLength];
  std::memcpy(copy, private_key, kKeyLength);
  NoiseDHState* dh = nullptr;
  int err = noise_dhstate_new_by_name(&dh, "25519");
  if (err == NOISE_ERROR_NONE) err = noise_dhstate_set_keypair_private(dh, copy, kKeyLength);
  if (err == NOISE_ERROR_NONE) err = noise_dhstate_get_public_key(dh, public_key, kKeyLength);
  if (dh != nullptr) noise_dhstate_free(dh);
  velsecure_context_clear(context, copy, kKeyLength);
  if (err != NOISE_ERROR_NONE) velsecure_context_clear(context, public_key, kKeyLength);
  return velsecure_status_from_noise(err, VELSECURE_OP_IDENTITY, status);
}
