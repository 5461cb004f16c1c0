// The "BLAKE2s" hash backend.
#include "native/secure/noise/noise_hashstate.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"
#include "native/secure/primitives/blake2s.h"

namespace {

using velmorine::secure::Blake2sState;

struct NoiseBlake2sState : NoiseHashState {
  Blake2sState blake;
};

void blake2s_backend_reset(NoiseHashState* state) {
  velmorine::secure::blake2s_reset(&static_cast<NoiseBlake2sState*>(state)->blake);
}

void blake2s_backend_update(NoiseHashState* state, const uint8_t* data, size_t len) {
  velmorine::secure::blake2s_update(&static_cast<NoiseBlake2sState*>(state)->blake, data, len);
}

void blake2s_backend_finalize(NoiseHashState* state, uint8_t* hash) {
  velmorine::secure::blake2s_finalize(&static_cast<NoiseBlake2sState*>(state)->blake, hash);
}

}  // namespace

NoiseHashState* noise_blake2s_new() {
  auto* state = static_cast<NoiseBlake2sState*>(noise_new_object(sizeof(NoiseBlake2sState)));
  if (state == nullptr) return nullptr;
  state->hash_id = NOISE_HASH_BLAKE2s;
  state->hash_len = velmorine::secure::kBlake2sHashLength;
  state->block_len = velmorine::secure::kBlake2sBlockLength;
  state->reset = blake2s_backend_reset;
  state->update = blake2s_backend_update;
  state->finalize = blake2s_backend_finalize;
  return state;
}
