#include "native/secure/velsecure_peer_binding.h"

#include <cstring>

#include "native/secure/noise/noise_util.h"
#include "native/secure/velsecure_key_codes.h"

namespace {

uint32_t fail_binding(VelSecurePeerBinding* binding, uint32_t detail, StatusRecord* status) {
  binding->failed = 1;
  velsecure_context_clear(binding->context, binding->proved_key, sizeof(binding->proved_key));
  return velsecure_fail(status, VELSECURE_IDENTITY_MISMATCH, VELSECURE_OP_PEER_BINDING, detail);
}

}  // namespace

uint32_t velsecure_peer_binding_create(VelSecureContext_s* context, const uint8_t claimed_id[16],
                                       const uint8_t expected_fingerprint[32],
                                       const uint8_t expected_key[32], uint32_t purpose,
                                       VelSecurePeerBinding** binding, StatusRecord* status) {
  if (context == nullptr || claimed_id == nullptr || expected_fingerprint == nullptr ||
      expected_key == nullptr || binding == nullptr || *binding != nullptr ||
      (purpose != 1 && purpose != 2)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PEER_BINDING);
  }
  auto* created =
      static_cast<VelSecurePeerBinding*>(velsecure_object_alloc(sizeof(VelSecurePeerBinding)));
  if (created == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_PEER_BINDING);
  }
  created->context = context;
  std::memcpy(created->claimed_id, claimed_id, sizeof(created->claimed_id));
  std::memcpy(created->expected_fingerprint, expected_fingerprint,
              sizeof(created->expected_fingerprint));
  std::memcpy(created->expected_key, expected_key, sizeof(created->expected_key));
  created->purpose = purpose;
  *binding = created;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t velsecure_peer_binding_prove_handshake(VelSecurePeerBinding* binding,
                                                const uint8_t presented_key[32],
                                                StatusRecord* status) {
  if (binding == nullptr || presented_key == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PEER_BINDING);
  }
  if (binding->proved || binding->accepted || binding->failed) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_PEER_BINDING);
  }
  uint8_t fingerprint[VELSECURE_FINGERPRINT_LENGTH];
  const uint32_t code = velsecure_public_key_fingerprint(presented_key, fingerprint, nullptr);
  const bool matches =
      code == VELSECURE_OK &&
      noise_is_equal(fingerprint, binding->expected_fingerprint, sizeof(fingerprint));
  noise_clean(fingerprint, sizeof(fingerprint));
  if (!matches) return fail_binding(binding, VELSECURE_BINDING_FINGERPRINT_MISMATCH, status);
  std::memcpy(binding->proved_key, presented_key, sizeof(binding->proved_key));
  binding->proved = 1;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t velsecure_peer_binding_accept_hello(VelSecurePeerBinding* binding, const uint8_t id[16],
                                             const uint8_t key[32], uint32_t purpose,
                                             StatusRecord* status) {
  if (binding == nullptr || id == nullptr || key == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PEER_BINDING);
  }
  if (!binding->proved || binding->accepted || binding->failed) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_PEER_BINDING);
  }
  if (!noise_is_equal(id, binding->claimed_id, sizeof(binding->claimed_id))) {
    return fail_binding(binding, VELSECURE_BINDING_ID_MISMATCH, status);
  }
  if (!noise_is_equal(key, binding->expected_key, sizeof(binding->expected_key))) {
    return fail_binding(binding, VELSECURE_BINDING_KEY_MISMATCH, status);
  }
  if (purpose != binding->purpose) {
    return fail_binding(binding, VELSECURE_BINDING_PURPOSE_MISMATCH, status);
  }
  binding->accepted = 1;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

bool velsecure_peer_binding_ready(const VelSecurePeerBinding* binding) {
  return binding != nullptr && binding->accepted && !binding->failed;
}

uint32_t velsecure_peer_binding_remote_static(const VelSecurePeerBinding* binding, uint8_t key[32],
                                              StatusRecord* status) {
  if (binding == nullptr || key == nullptr) {
    if (key != nullptr) noise_clean(key, 32);
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PEER_BINDING);
  }
  if (!velsecure_peer_binding_ready(binding)) {
    noise_clean(key, 32);
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_PEER_BINDING);
  }
  std::memcpy(key, binding->proved_key, sizeof(binding->proved_key));
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

void velsecure_peer_binding_destroy(VelSecurePeerBinding* binding) {
  if (binding == nullptr) return;
  velsecure_object_free(binding->context, binding, sizeof(VelSecurePeerBinding));
}
