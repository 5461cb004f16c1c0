#include "native/secure/noise/noise_handshakestate.h"

#include <cstring>
#include <initializer_list>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_patterns.h"
#include "native/secure/noise/noise_util.h"

namespace {

int create_dh(NoiseDHState** dh, int dh_id, int role) {
  const int err = noise_dhstate_new_by_id(dh, dh_id);
  if (err == NOISE_ERROR_NONE) (*dh)->role = role;
  return err;
}

bool is_initiator(const NoiseHandshakeState* state) { return state->role == NOISE_ROLE_INITIATOR; }

// MixKey(DH(local, remote)).
int mix_dh(NoiseHandshakeState* state, const NoiseDHState* local, const NoiseDHState* remote) {
  uint8_t shared[NOISE_MAX_DH_KEY_LEN];
  const size_t shared_len = local->shared_key_len;
  int err = noise_dhstate_calculate(local, remote, shared, shared_len);
  if (err == NOISE_ERROR_NONE)
    err = noise_symmetricstate_mix_key(state->symmetric, shared, shared_len);
  noise_clean(shared, sizeof(shared));
  return err;
}

// The DH pair of "es" and "se" depends on who holds which key: "es" is the
// initiator's ephemeral with the responder's static, "se" the reverse.
int mix_token_dh(NoiseHandshakeState* state, uint8_t token) {
  const bool initiator = is_initiator(state);
  switch (token) {
    case NOISE_TOKEN_EE:
      return mix_dh(state, state->dh_local_ephemeral, state->dh_remote_ephemeral);
    case NOISE_TOKEN_ES:
      return initiator ? mix_dh(state, state->dh_local_ephemeral, state->dh_remote_static)
                       : mix_dh(state, state->dh_local_static, state->dh_remote_ephemeral);
    case NOISE_TOKEN_SE:
      return initiator ? mix_dh(state, state->dh_local_static, state->dh_remote_ephemeral)
                       : mix_dh(state, state->dh_local_ephemeral, state->dh_remote_static);
    case NOISE_TOKEN_SS:
      return mix_dh(state, state->dh_local_static, state->dh_remote_static);
    default:
      return NOISE_ERROR_INVALID_STATE;
  }
}

// After the message's last token: the next message goes the other way, or the
// handshake is done.
void advance_after_message(NoiseHandshakeState* state, int just_did) {
  if (*state->tokens == NOISE_TOKEN_FLIP_DIR) {
    ++state->tokens;
    state->action = just_did == NOISE_ACTION_WRITE_MESSAGE ? NOISE_ACTION_READ_MESSAGE
                                                           : NOISE_ACTION_WRITE_MESSAGE;
  } else {
    state->action = NOISE_ACTION_SPLIT;
  }
}

int write_tokens(NoiseHandshakeState* state, const uint8_t* payload, size_t payload_len,
                 uint8_t* message, size_t capacity, size_t* message_len) {
  NoiseSymmetricState* symmetric = state->symmetric;
  size_t used = 0;
  for (; *state->tokens != NOISE_TOKEN_END && *state->tokens != NOISE_TOKEN_FLIP_DIR;
       ++state->tokens) {
    const uint8_t token = *state->tokens;
    if (token == NOISE_TOKEN_E) {
      NoiseDHState* e = state->dh_local_ephemeral;
      const size_t len = e->public_key_len;
      if (capacity - used < len) return NOISE_ERROR_INVALID_LENGTH;
      int err = noise_dhstate_generate_keypair(e);
      if (err != NOISE_ERROR_NONE) return err;
      std::memcpy(message + used, e->public_key, len);
      err = noise_symmetricstate_mix_hash(symmetric, e->public_key, len);
      if (err == NOISE_ERROR_NONE && state->has_pre_shared_key) {
        err = noise_symmetricstate_mix_key(symmetric, e->public_key, len);
      }
      if (err != NOISE_ERROR_NONE) return err;
      used += len;
    } else if (token == NOISE_TOKEN_S) {
      NoiseDHState* s = state->dh_local_static;
      if (!s->has_private_key) return NOISE_ERROR_LOCAL_KEY_REQUIRED;
      const size_t len = s->public_key_len;
      if (capacity - used < len) return NOISE_ERROR_INVALID_LENGTH;
      std::memcpy(message + used, s->public_key, len);
      size_t sealed = 0;
      const int err = noise_symmetricstate_encrypt_and_hash(symmetric, message + used, len,
                                                            capacity - used, &sealed);
      if (err != NOISE_ERROR_NONE) return err;
      used += sealed;
    } else {
      const int err = mix_token_dh(state, token);
      if (err != NOISE_ERROR_NONE) return err;
    }
  }
  if (payload_len > capacity - used) return NOISE_ERROR_INVALID_LENGTH;
  if (payload_len > 0) std::memcpy(message + used, payload, payload_len);
  size_t sealed = 0;
  const int err = noise_symmetricstate_encrypt_and_hash(symmetric, message + used, payload_len,
                                                        capacity - used, &sealed);
  if (err != NOISE_ERROR_NONE) return err;
  *message_len = used + sealed;
  return NOISE_ERROR_NONE;
}

int read_tokens(NoiseHandshakeState* state, uint8_t* message, size_t message_len, uint8_t* payload,
                size_t payload_capacity, size_t* payload_len) {
  NoiseSymmetricState* symmetric = state->symmetric;
  size_t used = 0;
  for (; *state->tokens != NOISE_TOKEN_END && *state->tokens != NOISE_TOKEN_FLIP_DIR;
       ++state->tokens) {
    const uint8_t token = *state->tokens;
    if (token == NOISE_TOKEN_E) {
      NoiseDHState* re = state->dh_remote_ephemeral;
      const size_t len = re->public_key_len;
      if (message_len - used < len) return NOISE_ERROR_INVALID_LENGTH;
      int err = noise_dhstate_set_public_key(re, message + used, len);
      if (err == NOISE_ERROR_NONE)
        err = noise_symmetricstate_mix_hash(symmetric, message + used, len);
      if (err == NOISE_ERROR_NONE && state->has_pre_shared_key) {
        err = noise_symmetricstate_mix_key(symmetric, message + used, len);
      }
      if (err != NOISE_ERROR_NONE) return err;
      used += len;
    } else if (token == NOISE_TOKEN_S) {
      NoiseDHState* rs = state->dh_remote_static;
      const size_t len = rs->public_key_len + noise_symmetricstate_get_mac_length(symmetric);
      if (message_len - used < len) return NOISE_ERROR_INVALID_LENGTH;
      size_t opened = 0;
      int err = noise_symmetricstate_decrypt_and_hash(symmetric, message + used, len, &opened);
      if (err == NOISE_ERROR_NONE) err = noise_dhstate_set_public_key(rs, message + used, opened);
      if (err != NOISE_ERROR_NONE) return err;
      used += len;
    } else {
      const int err = mix_token_dh(state, token);
      if (err != NOISE_ERROR_NONE) return err;
    }
  }
  const size_t rest = message_len - used;
  if (rest < noise_symmetricstate_get_mac_length(symmetric)) return NOISE_ERROR_INVALID_LENGTH;
  const size_t plain_len = rest - noise_symmetricstate_get_mac_length(symmetric);
  if (plain_len > payload_capacity) return NOISE_ERROR_INVALID_LENGTH;
  size_t opened = 0;
  const int err = noise_symmetricstate_decrypt_and_hash(symmetric, message + used, rest, &opened);
  if (err != NOISE_ERROR_NONE) return err;
  if (opened > 0) std::memcpy(payload, message + used, opened);
  *payload_len = opened;
  return NOISE_ERROR_NONE;
}

// MixHash of one pre-message public key.
int mix_premessage_key(NoiseHandshakeState* state, const NoiseDHState* dh) {
  return noise_symmetricstate_mix_hash(state->symmetric, dh->public_key, dh->public_key_len);
}

}  // namespace

int noise_handshakestate_new_by_id(NoiseHandshakeState** state, const NoiseProtocolId* id,
                                   int role) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (id == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (role != NOISE_ROLE_INITIATOR && role != NOISE_ROLE_RESPONDER) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  const uint8_t* pattern = noise_pattern_lookup(id->pattern_id);
  if (pattern == nullptr) return NOISE_ERROR_UNKNOWN_ID;
  // No backend offers hybrid keys, so a hybrid name cannot run.
  if (id->hybrid_id != 0) return NOISE_ERROR_NOT_APPLICABLE;

  auto* created = static_cast<NoiseHandshakeState*>(noise_new_object(sizeof(NoiseHandshakeState)));
  if (created == nullptr) return NOISE_ERROR_NO_MEMORY;
  created->role = role;
  created->action = NOISE_ACTION_NONE;
  const uint16_t flags = noise_pattern_flags(pattern);
  created->requirements = role == NOISE_ROLE_INITIATOR ? flags : noise_pattern_reverse_flags(flags);
  created->tokens = pattern + 2;
  int err = noise_symmetricstate_new_by_id(&created->symmetric, id);
  if (err == NOISE_ERROR_NONE) err = create_dh(&created->dh_local_static, id->dh_id, role);
  if (err == NOISE_ERROR_NONE) err = create_dh(&created->dh_local_ephemeral, id->dh_id, role);
  const int other = role == NOISE_ROLE_INITIATOR ? NOISE_ROLE_RESPONDER : NOISE_ROLE_INITIATOR;
  if (err == NOISE_ERROR_NONE) err = create_dh(&created->dh_remote_static, id->dh_id, other);
  if (err == NOISE_ERROR_NONE) err = create_dh(&created->dh_remote_ephemeral, id->dh_id, other);
  if (err != NOISE_ERROR_NONE) {
    noise_handshakestate_free(created);
    return err;
  }
  created->dh_local_ephemeral->key_type = NOISE_KEY_TYPE_EPHEMERAL_ONLY;
  created->dh_remote_ephemeral->key_type = NOISE_KEY_TYPE_EPHEMERAL_ONLY;
  *state = created;
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_new_by_name(NoiseHandshakeState** state, const char* name, int role) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *state = nullptr;
  if (name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  NoiseProtocolId id;
  const int err = noise_protocol_name_to_id(&id, name, std::strlen(name));
  if (err != NOISE_ERROR_NONE) return err;
  return noise_handshakestate_new_by_id(state, &id, role);
}

int noise_handshakestate_free(NoiseHandshakeState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->symmetric != nullptr) noise_symmetricstate_free(state->symmetric);
  for (NoiseDHState* dh : {state->dh_local_static, state->dh_local_ephemeral,
                           state->dh_remote_static, state->dh_remote_ephemeral}) {
    if (dh != nullptr) noise_dhstate_free(dh);
  }
  noise_free(state, state->size);
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_get_role(const NoiseHandshakeState* state) {
  return state != nullptr ? state->role : 0;
}

int noise_handshakestate_get_protocol_id(const NoiseHandshakeState* state, NoiseProtocolId* id) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  return noise_symmetricstate_get_protocol_id(state->symmetric, id);
}

NoiseDHState* noise_handshakestate_get_local_keypair_dh(const NoiseHandshakeState* state) {
  return state != nullptr ? state->dh_local_static : nullptr;
}

NoiseDHState* noise_handshakestate_get_remote_public_key_dh(const NoiseHandshakeState* state) {
  return state != nullptr ? state->dh_remote_static : nullptr;
}

int noise_handshakestate_needs_pre_shared_key(const NoiseHandshakeState* state) {
  return state != nullptr && state->symmetric->id.prefix_id == NOISE_PREFIX_PSK &&
         !state->has_pre_shared_key;
}

int noise_handshakestate_has_pre_shared_key(const NoiseHandshakeState* state) {
  return state != nullptr && state->has_pre_shared_key;
}

int noise_handshakestate_set_pre_shared_key(NoiseHandshakeState* state, const uint8_t* key,
                                            size_t key_len) {
  if (state == nullptr || key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (key_len != NOISE_PSK_LEN) return NOISE_ERROR_INVALID_LENGTH;
  if (state->symmetric->id.prefix_id != NOISE_PREFIX_PSK) return NOISE_ERROR_NOT_APPLICABLE;
  if (state->action != NOISE_ACTION_NONE) return NOISE_ERROR_INVALID_STATE;
  std::memcpy(state->pre_shared_key, key, key_len);
  state->has_pre_shared_key = 1;
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_set_prologue(NoiseHandshakeState* state, const void* prologue,
                                      size_t prologue_len) {
  if (state == nullptr || (prologue == nullptr && prologue_len != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (state->action != NOISE_ACTION_NONE || state->prologue_set) return NOISE_ERROR_INVALID_STATE;
  const int err = noise_symmetricstate_mix_hash(
      state->symmetric, static_cast<const uint8_t*>(prologue), prologue_len);
  if (err == NOISE_ERROR_NONE) state->prologue_set = 1;
  return err;
}

int noise_handshakestate_needs_local_keypair(const NoiseHandshakeState* state) {
  return state != nullptr && (state->requirements & NOISE_PAT_FLAG_LOCAL_STATIC) != 0 &&
         !state->dh_local_static->has_private_key;
}

int noise_handshakestate_has_local_keypair(const NoiseHandshakeState* state) {
  return state != nullptr && state->dh_local_static->has_private_key;
}

int noise_handshakestate_needs_remote_public_key(const NoiseHandshakeState* state) {
  return state != nullptr && (state->requirements & NOISE_PAT_FLAG_REMOTE_REQUIRED) != 0 &&
         !state->dh_remote_static->has_public_key;
}

int noise_handshakestate_has_remote_public_key(const NoiseHandshakeState* state) {
  return state != nullptr && state->dh_remote_static->has_public_key;
}

int noise_handshakestate_start(NoiseHandshakeState* state) {
  if (state == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->action != NOISE_ACTION_NONE) return NOISE_ERROR_INVALID_STATE;
  const uint16_t req = state->requirements;
  if ((req & NOISE_PAT_FLAG_LOCAL_STATIC) != 0 && !state->dh_local_static->has_private_key) {
    return NOISE_ERROR_LOCAL_KEY_REQUIRED;
  }
  if ((req & NOISE_PAT_FLAG_REMOTE_REQUIRED) != 0 && !state->dh_remote_static->has_public_key) {
    return NOISE_ERROR_REMOTE_KEY_REQUIRED;
  }
  if (state->symmetric->id.prefix_id == NOISE_PREFIX_PSK && !state->has_pre_shared_key) {
    return NOISE_ERROR_PSK_REQUIRED;
  }
  // Ephemeral pre-messages exist only in fallback patterns, which are not carried.
  if ((req & (NOISE_PAT_FLAG_LOCAL_EPHEM_REQ | NOISE_PAT_FLAG_REMOTE_EPHEM_REQ)) != 0) {
    return NOISE_ERROR_NOT_APPLICABLE;
  }
  int err = NOISE_ERROR_NONE;
  if (!state->prologue_set) err = noise_handshakestate_set_prologue(state, nullptr, 0);
  if (err == NOISE_ERROR_NONE && state->has_pre_shared_key) {
    NoiseSymmetricState* symmetric = state->symmetric;
    const size_t hash_len = symmetric->hash->hash_len;
    uint8_t temp[NOISE_MAX_HASHLEN];
    err = noise_hashstate_hkdf(symmetric->hash, symmetric->ck, hash_len, state->pre_shared_key,
                               NOISE_PSK_LEN, symmetric->ck, hash_len, temp, hash_len);
    if (err == NOISE_ERROR_NONE) err = noise_symmetricstate_mix_hash(symmetric, temp, hash_len);
    noise_clean(temp, sizeof(temp));
  }
  // Pre-message keys, the initiator's before the responder's.
  const bool initiator = is_initiator(state);
  const bool local_first = initiator;
  for (int pass = 0; pass < 2 && err == NOISE_ERROR_NONE; ++pass) {
    const bool local = (pass == 0) == local_first;
    if (local && (req & NOISE_PAT_FLAG_LOCAL_REQUIRED) != 0) {
      err = mix_premessage_key(state, state->dh_local_static);
    } else if (!local && (req & NOISE_PAT_FLAG_REMOTE_REQUIRED) != 0) {
      err = mix_premessage_key(state, state->dh_remote_static);
    }
  }
  if (err != NOISE_ERROR_NONE) {
    state->action = NOISE_ACTION_FAILED;
    return err;
  }
  state->action = initiator ? NOISE_ACTION_WRITE_MESSAGE : NOISE_ACTION_READ_MESSAGE;
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_get_action(const NoiseHandshakeState* state) {
  return state != nullptr ? state->action : NOISE_ACTION_NONE;
}

int noise_handshakestate_write_message(NoiseHandshakeState* state, const uint8_t* payload,
                                       size_t payload_len, uint8_t* message, size_t capacity,
                                       size_t* message_len) {
  if (message_len != nullptr) *message_len = 0;
  if (state == nullptr || message == nullptr || message_len == nullptr ||
      (payload == nullptr && payload_len != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (state->action != NOISE_ACTION_WRITE_MESSAGE) return NOISE_ERROR_INVALID_STATE;
  if (capacity > NOISE_MAX_PAYLOAD_LEN) capacity = NOISE_MAX_PAYLOAD_LEN;
  const int err = write_tokens(state, payload, payload_len, message, capacity, message_len);
  if (err != NOISE_ERROR_NONE) {
    noise_clean(message, capacity);
    *message_len = 0;
    state->action = NOISE_ACTION_FAILED;
    return err;
  }
  advance_after_message(state, NOISE_ACTION_WRITE_MESSAGE);
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_read_message(NoiseHandshakeState* state, uint8_t* message,
                                      size_t message_len, uint8_t* payload, size_t payload_capacity,
                                      size_t* payload_len) {
  if (payload_len != nullptr) *payload_len = 0;
  if (state == nullptr || message == nullptr || payload_len == nullptr ||
      (payload == nullptr && payload_capacity != 0)) {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (state->action != NOISE_ACTION_READ_MESSAGE) return NOISE_ERROR_INVALID_STATE;
  int err = message_len > NOISE_MAX_PAYLOAD_LEN
                ? NOISE_ERROR_INVALID_LENGTH
                : read_tokens(state, message, message_len, payload, payload_capacity, payload_len);
  if (err != NOISE_ERROR_NONE) {
    if (payload != nullptr) noise_clean(payload, payload_capacity);
    *payload_len = 0;
    state->action = NOISE_ACTION_FAILED;
    return err;
  }
  advance_after_message(state, NOISE_ACTION_READ_MESSAGE);
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_split(NoiseHandshakeState* state, NoiseCipherState** send,
                               NoiseCipherState** receive) {
  if (send != nullptr) *send = nullptr;
  if (receive != nullptr) *receive = nullptr;
  if (state == nullptr || send == nullptr || receive == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->action != NOISE_ACTION_SPLIT) return NOISE_ERROR_INVALID_STATE;
  NoiseCipherState* c1 = nullptr;
  NoiseCipherState* c2 = nullptr;
  const int err = noise_symmetricstate_split(state->symmetric, &c1, &c2);
  if (err != NOISE_ERROR_NONE) return err;
  if (is_initiator(state)) {
    *send = c1;
    *receive = c2;
  } else {
    *send = c2;
    *receive = c1;
  }
  state->action = NOISE_ACTION_COMPLETE;
  return NOISE_ERROR_NONE;
}

int noise_handshakestate_get_handshake_hash(const NoiseHandshakeState* state, uint8_t* hash,
                                            size_t max_hash_len) {
  if (state == nullptr || hash == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (state->action != NOISE_ACTION_SPLIT && state->action != NOISE_ACTION_COMPLETE) {
    return NOISE_ERROR_INVALID_STATE;
  }
  const size_t hash_len = state->symmetric->hash->hash_len;
  if (max_hash_len < hash_len) return NOISE_ERROR_INVALID_LENGTH;
  std::memcpy(hash, state->symmetric->h, hash_len);
  return NOISE_ERROR_NONE;
}
