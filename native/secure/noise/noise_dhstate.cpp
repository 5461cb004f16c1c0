#include "native/secure/noise/noise_dhstate.h"

#include <cstring>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_fingerprint.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"

int noise_dhstate_new_by_id(NoiseDHState** state, int id) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  switch (id) {
    case NOISE_DH_CURVE25519:
      *state = noise_curve25519_new();
      break;
    case NOISE_DH_CURVE448:
      *state = noise_curve448_new();
      break;
    case NOISE_DH_NEWHOPE:
      *state = noise_newhope_new();
      break;
    default:
      return NOISE_ERROR_UNKNOWN_ID;
  }
  return *state != nullptr ? NOISE_ERROR_NONE : NOISE_ERROR_NO_MEMORY;
}

int noise_dhstate_new_by_name(NoiseDHState** state, const char* name) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  const int id = noise_name_to_id(NOISE_CATEGORY_DH, name, std::strlen(name));
  if (id == 0) return NOISE_ERROR_UNKNOWN_NAME;
  return noise_dhstate_new_by_id(state, id);
}

int noise_dhstate_free(NoiseDHState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  noise_free(state, state->size);
  return NOISE_ERROR_NONE;
}

int noise_dhstate_get_dh_id(const NoiseDHState* state) {
  return state != nullptr ? state->dh_id : 0;
}
size_t noise_dhstate_get_public_key_length(const NoiseDHState* state) {
  return state != nullptr ? state->public_key_len : 0;
}
size_t noise_dhstate_get_private_key_length(const NoiseDHState* state) {
  return state != nullptr ? state->private_key_len : 0;
}
size_t noise_dhstate_get_shared_key_length(const NoiseDHState* state) {
  return state != nullptr ? state->shared_key_len : 0;
}
int noise_dhstate_is_ephemeral_only(const NoiseDHState* state) {
  return state != nullptr && state->key_type == NOISE_KEY_TYPE_EPHEMERAL_ONLY;
}
int noise_dhstate_has_keypair(const NoiseDHState* state) {
  return state != nullptr && state->has_private_key;
}
int noise_dhstate_has_public_key(const NoiseDHState* state) {
  return state != nullptr && state->has_public_key;
}
int noise_dhstate_get_role(const NoiseDHState* state) { return state != nullptr ? state->role : 0; }

int noise_dhstate_set_role(NoiseDHState* state, int role) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (role != NOISE_ROLE_INITIATOR && role != NOISE_ROLE_RESPONDER) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  state->role = role;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_generate_keypair(NoiseDHState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  const int err = state->generate_keypair(state);
  if (err != NOISE_ERROR_NONE) {
    noise_dhstate_clear_key(state);
    return err;
  }
  state->has_private_key = 1;
  state->has_public_key = 1;
  state->is_null_public_key = 0;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_set_keypair(NoiseDHState* state, const uint8_t* private_key,
                              size_t private_key_len, const uint8_t* public_key,
                              size_t public_key_len) {
  if (state == nullptr || private_key == nullptr || public_key == nullptr) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (private_key_len != state->private_key_len || public_key_len != state->public_key_len) {
    return NOISE_ERROR_INVALID_LENGTH;
  }
  uint8_t derived[NOISE_MAX_DH_KEY_LEN];
  int err = state->derive_public_key(private_key, derived);
  if (err == NOISE_ERROR_NONE && !noise_is_equal(derived, public_key, public_key_len)) {
    err = NOISE_ERROR_INVALID_PUBLIC_KEY;
  }
  if (err == NOISE_ERROR_NONE) {
    std::memcpy(state->private_key, private_key, private_key_len);
    std::memcpy(state->public_key, derived, public_key_len);
    state->has_private_key = 1;
    state->has_public_key = 1;
    state->is_null_public_key = 0;
  }
  noise_clean(derived, sizeof(derived));
  return err;
}

int noise_dhstate_set_keypair_private(NoiseDHState* state, const uint8_t* private_key,
                                      size_t private_key_len) {
  if (state == nullptr || private_key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (private_key_len != state->private_key_len) return NOISE_ERROR_INVALID_LENGTH;
  uint8_t derived[NOISE_MAX_DH_KEY_LEN];
  const int err = state->derive_public_key(private_key, derived);
  if (err == NOISE_ERROR_NONE) {
    std::memcpy(state->private_key, private_key, private_key_len);
    std::memcpy(state->public_key, derived, state->public_key_len);
    state->has_private_key = 1;
    state->has_public_key = 1;
    state->is_null_public_key = 0;
  }
  noise_clean(derived, sizeof(derived));
  return err;
}

int noise_dhstate_get_keypair(const NoiseDHState* state, uint8_t* private_key,
                              size_t private_key_len, uint8_t* public_key, size_t public_key_len) {
  if (state == nullptr || private_key == nullptr || public_key == nullptr) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (private_key_len != state->private_key_len || public_key_len != state->public_key_len) {
    return NOISE_ERROR_INVALID_LENGTH;
  }
  if (!state->has_private_key) return NOISE_ERROR_INVALID_STATE;
  std::memcpy(private_key, state->private_key, private_key_len);
  std::memcpy(public_key, state->public_key, public_key_len);
  return NOISE_ERROR_NONE;
}

int noise_dhstate_set_public_key(NoiseDHState* state, const uint8_t* public_key,
                                 size_t public_key_len) {
  if (state == nullptr || public_key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (public_key_len != state->public_key_len) return NOISE_ERROR_INVALID_LENGTH;
  const int err = state->validate_public_key(public_key);
  if (err != NOISE_ERROR_NONE) return err;
  noise_clean(state->private_key, sizeof(state->private_key));
  std::memcpy(state->public_key, public_key, public_key_len);
  state->has_private_key = 0;
  state->has_public_key = 1;
  state->is_null_public_key = 0;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_get_public_key(const NoiseDHState* state, uint8_t* public_key,
                                 size_t public_key_len) {
  if (state == nullptr || public_key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (public_key_len != state->public_key_len) return NOISE_ERROR_INVALID_LENGTH;
  if (!state->has_public_key) return NOISE_ERROR_INVALID_STATE;
  std::memcpy(public_key, state->public_key, public_key_len);
  return NOISE_ERROR_NONE;
}

int noise_dhstate_set_null_public_key(NoiseDHState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  noise_dhstate_clear_key(state);
  state->has_public_key = 1;
  state->is_null_public_key = 1;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_is_null_public_key(const NoiseDHState* state) {
  return state != nullptr && state->has_public_key && state->is_null_public_key;
}

int noise_dhstate_clear_key(NoiseDHState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  noise_clean(state->private_key, sizeof(state->private_key));
  noise_clean(state->public_key, sizeof(state->public_key));
  state->has_private_key = 0;
  state->has_public_key = 0;
  state->is_null_public_key = 0;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_copy(NoiseDHState* state, const NoiseDHState* from) {
  if (state == nullptr || from == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->dh_id != from->dh_id) return NOISE_ERROR_NOT_APPLICABLE;
  if (state == from) return NOISE_ERROR_NONE;
  std::memcpy(state->private_key, from->private_key, sizeof(state->private_key));
  std::memcpy(state->public_key, from->public_key, sizeof(state->public_key));
  state->has_private_key = from->has_private_key;
  state->has_public_key = from->has_public_key;
  state->is_null_public_key = from->is_null_public_key;
  return NOISE_ERROR_NONE;
}

int noise_dhstate_calculate(const NoiseDHState* private_key_state,
                            const NoiseDHState* public_key_state, uint8_t* shared_key,
                            size_t shared_key_len) {
  if (private_key_state == nullptr || public_key_state == nullptr || shared_key == nullptr) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (private_key_state->dh_id != public_key_state->dh_id) return NOISE_ERROR_INVALID_PARAM;
  if (shared_key_len != private_key_state->shared_key_len) return NOISE_ERROR_INVALID_LENGTH;
  if (!private_key_state->has_private_key || !public_key_state->has_public_key) {
    return NOISE_ERROR_INVALID_STATE;
  }
  if (public_key_state->is_null_public_key) {
    noise_clean(shared_key, shared_key_len);
    return NOISE_ERROR_NONE;
  }
  const int err = private_key_state->calculate(private_key_state->private_key,
                                               public_key_state->public_key, shared_key);
  if (err != NOISE_ERROR_NONE) noise_clean(shared_key, shared_key_len);
  return err;
}

int noise_dhstate_format_fingerprint(const NoiseDHState* state, int fingerprint_type, char* buffer,
                                     size_t len) {
  if (state == nullptr || buffer == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (!state->has_public_key) {
    if (len > 0) buffer[0] = '\0';
    return NOISE_ERROR_INVALID_STATE;
  }
  return noise_format_fingerprint(fingerprint_type, buffer, len, state->public_key,
                                  state->public_key_len);
}

NoiseDHState* noise_curve448_new() { return nullptr; }
NoiseDHState* noise_newhope_new() { return nullptr; }
