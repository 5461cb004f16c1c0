#include "native/secure/velsecure_handshake.h"

#include <cstdlib>
#include <cstring>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"

namespace {

constexpr char kProtocolName[] = "Noise_XX_25519_ChaChaPoly_BLAKE2s";
constexpr size_t kMaxMessage = 65535;

bool config_is_valid(const VelSecureHandshakeConfig* config) {
  if (config == nullptr || config->size < sizeof(VelSecureHandshakeConfig) ||
      config->version != kVelSecureHandshakeConfigVersion) {
    return false;
  }
  if (config->role != VELSECURE_ROLE_INITIATOR && config->role != VELSECURE_ROLE_RESPONDER) {
    return false;
  }
  if (config->prologue_length > kMaxMessage ||
      (config->prologue == nullptr && config->prologue_length != 0)) {
    return false;
  }
  const VelSecureIdentityView_s& identity = config->identity;
  return identity.size >= sizeof(VelSecureIdentityView_s) && identity.private_key != nullptr &&
         identity.private_key_length == VELSECURE_KEY_LENGTH && identity.public_key != nullptr &&
         identity.public_key_length == VELSECURE_KEY_LENGTH;
}

}  // namespace

uint32_t velsecure_handshake_create(VelSecureContext_s* context,
                                    const VelSecureHandshakeConfig* config,
                                    VelSecureHandshake** handshake, StatusRecord* status) {
  if (context == nullptr || handshake == nullptr || *handshake != nullptr ||
      !config_is_valid(config)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  auto* created =
      static_cast<VelSecureHandshake*>(velsecure_object_alloc(sizeof(VelSecureHandshake)));
  if (created == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  created->context = context;
  created->role = config->role;
  created->purpose = config->purpose;
  const int role =
      config->role == VELSECURE_ROLE_INITIATOR ? NOISE_ROLE_INITIATOR : NOISE_ROLE_RESPONDER;
  int err = noise_handshakestate_new_by_name(&created->state, kProtocolName, role);
  if (err == NOISE_ERROR_NONE) {
    err = noise_dhstate_set_keypair(noise_handshakestate_get_local_keypair_dh(created->state),
                                    config->identity.private_key, VELSECURE_KEY_LENGTH,
                                    config->identity.public_key, VELSECURE_KEY_LENGTH);
  }
  if (err == NOISE_ERROR_NONE) {
    err = noise_handshakestate_set_prologue(created->state, config->prologue,
                                            config->prologue_length);
  }
  if (err == NOISE_ERROR_NONE) err = noise_handshakestate_start(created->state);
  if (err != NOISE_ERROR_NONE) {
    velsecure_handshake_destroy(created);
    return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_CREATE, status);
  }
  *handshake = created;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

void velsecure_handshake_destroy(VelSecureHandshake* handshake) {
  if (handshake == nullptr) return;
  if (handshake->state != nullptr) noise_handshakestate_free(handshake->state);
  velsecure_object_free(handshake->context, handshake, sizeof(VelSecureHandshake));
}

int velsecure_handshake_action(const VelSecureHandshake* handshake) {
  if (handshake == nullptr) return VELSECURE_HANDSHAKE_FAILED;
  switch (noise_handshakestate_get_action(handshake->state)) {
    case NOISE_ACTION_WRITE_MESSAGE:
      return VELSECURE_HANDSHAKE_WRITE;
    case NOISE_ACTION_READ_MESSAGE:
      return VELSECURE_HANDSHAKE_READ;
    case NOISE_ACTION_SPLIT:
      return VELSECURE_HANDSHAKE_SPLIT;
    case NOISE_ACTION_COMPLETE:
      return VELSECURE_HANDSHAKE_COMPLETE;
    case NOISE_ACTION_FAILED:
      return VELSECURE_HANDSHAKE_FAILED;
    default:
      return VELSECURE_HANDSHAKE_NONE;
  }
}

uint32_t velsecure_handshake_write(VelSecureHandshake* handshake, const uint8_t* payload,
                                   size_t payload_length, uint8_t* output, size_t capacity,
                                   size_t* output_length, StatusRecord* status) {
  if (output_length != nullptr) *output_length = 0;
  if (handshake == nullptr || output == nullptr || output_length == nullptr ||
      (payload == nullptr && payload_length != 0) || capacity > kMaxMessage) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_WRITE);
  }
  int err;
  {
    // The ephemeral key is drawn from the caller's random callback.
    VelSecureRandomScope scope(&handshake->context->provider);
    err = noise_handshakestate_write_message(handshake->state, payload, payload_length, output,
                                             capacity, output_length);
  }
  if (err != NOISE_ERROR_NONE) {
    velsecure_context_clear(handshake->context, output, capacity);
    *output_length = 0;
  }
  return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_WRITE, status);
}

uint32_t velsecure_handshake_read(VelSecureHandshake* handshake, const uint8_t* message,
                                  size_t length, uint8_t* payload, size_t capacity,
                                  size_t* payload_length, StatusRecord* status) {
  if (payload_length != nullptr) *payload_length = 0;
  if (handshake == nullptr || message == nullptr || length == 0 || length > kMaxMessage ||
      payload_length == nullptr || (payload == nullptr && capacity != 0)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_READ);
  }
  // The message is opened in place, so the caller's bytes stay as they came.
  auto* copy = static_cast<uint8_t*>(std::malloc(length));
  if (copy == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_HANDSHAKE_READ);
  }
  std::memcpy(copy, message, length);
  const int err = noise_handshakestate_read_message(handshake->state, copy, length, payload,
                                                    capacity, payload_length);
  velsecure_context_clear(handshake->context, copy, length);
  std::free(copy);
  if (err != NOISE_ERROR_NONE) {
    velsecure_context_clear(handshake->context, payload, capacity);
    *payload_length = 0;
  }
  return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_READ, status);
}

uint32_t velsecure_handshake_remote_static(const VelSecureHandshake* handshake, uint8_t* output,
                                           StatusRecord* status) {
  if (handshake == nullptr || output == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_READ);
  }
  const int err =
      noise_dhstate_get_public_key(noise_handshakestate_get_remote_public_key_dh(handshake->state),
                                   output, VELSECURE_KEY_LENGTH);
  if (err != NOISE_ERROR_NONE)
    velsecure_context_clear(handshake->context, output, VELSECURE_KEY_LENGTH);
  return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_READ, status);
}

uint32_t velsecure_handshake_transcript_hash(const VelSecureHandshake* handshake, uint8_t* output,
                                             StatusRecord* status) {
  if (handshake == nullptr || output == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  const int err =
      noise_handshakestate_get_handshake_hash(handshake->state, output, VELSECURE_HASH_LENGTH);
  if (err != NOISE_ERROR_NONE) {
    velsecure_context_clear(handshake->context, output, VELSECURE_HASH_LENGTH);
  }
  return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_RESULT, status);
}

uint32_t velsecure_handshake_split(VelSecureHandshake* handshake, VelSecureTransport_s** send,
                                   VelSecureTransport_s** receive, StatusRecord* status) {
  if (handshake == nullptr || send == nullptr || receive == nullptr || *send != nullptr ||
      *receive != nullptr || send == receive) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  auto* sending =
      static_cast<VelSecureTransport_s*>(velsecure_object_alloc(sizeof(VelSecureTransport_s)));
  auto* receiving =
      static_cast<VelSecureTransport_s*>(velsecure_object_alloc(sizeof(VelSecureTransport_s)));
  if (sending == nullptr || receiving == nullptr) {
    velsecure_transport_destroy(sending);
    velsecure_transport_destroy(receiving);
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  sending->context = handshake->context;
  receiving->context = handshake->context;
  const int err =
      noise_handshakestate_split(handshake->state, &sending->cipher, &receiving->cipher);
  if (err != NOISE_ERROR_NONE) {
    velsecure_transport_destroy(sending);
    velsecure_transport_destroy(receiving);
    return velsecure_status_from_noise(err, VELSECURE_OP_HANDSHAKE_RESULT, status);
  }
  *send = sending;
  *receive = receiving;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}
