// The "25519" DH backend: X25519 of RFC 7748.
#include "native/secure/noise/noise_dhstate.h"
#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"
#include "native/secure/primitives/curve25519.h"

namespace {

constexpr uint8_t kBasePoint[32] = {9};

int curve25519_derive_public_key(const uint8_t* private_key, uint8_t* public_key) {
  velmorine::secure::curve25519_donna(public_key, private_key, kBasePoint);
  return NOISE_ERROR_NONE;
}

int curve25519_generate_keypair(NoiseDHState* state) {
  const int err = noise_rand_bytes(state->private_key, 32);
  if (err != NOISE_ERROR_NONE) return err;
  state->private_key[0] &= 248;
  state->private_key[31] &= 63;
  state->private_key[31] |= 64;
  return curve25519_derive_public_key(state->private_key, state->public_key);
}

// Any 32 bytes are a u-coordinate; low-order points are caught by their zero
// result, and the all-zero key is refused right away so a read fails at once.
int curve25519_validate_public_key(const uint8_t* public_key) {
  return noise_is_zero(public_key, 32) ? NOISE_ERROR_INVALID_PUBLIC_KEY : NOISE_ERROR_NONE;
}

int curve25519_calculate(const uint8_t* private_key, const uint8_t* public_key, uint8_t* shared) {
  velmorine::secure::curve25519_donna(shared, private_key, public_key);
  return noise_is_zero(shared, 32) ? NOISE_ERROR_INVALID_PUBLIC_KEY : NOISE_ERROR_NONE;
}

}  // namespace

NoiseDHState* noise_curve25519_new() {
  auto* state = static_cast<NoiseDHState*>(noise_new_object(sizeof(NoiseDHState)));
  if (state == nullptr) return nullptr;
  state->dh_id = NOISE_DH_CURVE25519;
  state->role = NOISE_ROLE_INITIATOR;
  state->key_type = NOISE_KEY_TYPE_KEYPAIR;
  state->private_key_len = 32;
  state->public_key_len = 32;
  state->shared_key_len = 32;
  state->generate_keypair = curve25519_generate_keypair;
  state->derive_public_key = curve25519_derive_public_key;
  state->validate_public_key = curve25519_validate_public_key;
  state->calculate = curve25519_calculate;
  return state;
}
