#include "native/secure/primitives/blake2s.h"

#include <cstring>

#include "native/secure/primitives/blake2s_compress.h"
#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

Blake2sCompress compress() {
  static const Blake2sCompress chosen = blake2s_compress_for_cpu();
  return chosen;
}

}  // namespace

void blake2s_reset(Blake2sState* state) {
  std::memcpy(state->h, kBlake2sIv, sizeof state->h);
  // Parameter block: digest length 32, no key, fanout 1, depth 1.
  state->h[0] ^= 0x01010000u | kBlake2sHashLength;
  state->counter = 0;
  std::memset(state->buffer, 0, sizeof state->buffer);
  state->buffered = 0;
}

void blake2s_update(Blake2sState* state, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  const Blake2sCompress run = compress();
  const std::size_t room = kBlake2sBlockLength - state->buffered;
  if (length > room) {
    // The buffered block is not the last one: more input follows it.
    std::memcpy(state->buffer + state->buffered, data, room);
    data += room;
    length -= room;
    state->counter += kBlake2sBlockLength;
    run(state->h, state->buffer, 1, state->counter, false);
    state->buffered = 0;
    // Whole blocks go straight from the input, all but one that might be the last.
    const std::size_t blocks = (length - 1) / kBlake2sBlockLength;
    if (blocks != 0) {
      run(state->h, data, blocks, state->counter + kBlake2sBlockLength, false);
      state->counter += blocks * kBlake2sBlockLength;
      data += blocks * kBlake2sBlockLength;
      length -= blocks * kBlake2sBlockLength;
    }
  }
  std::memcpy(state->buffer + state->buffered, data, length);
  state->buffered += static_cast<std::uint32_t>(length);
}

void blake2s_finalize(Blake2sState* state, std::uint8_t digest[kBlake2sHashLength]) {
  std::memset(state->buffer + state->buffered, 0, kBlake2sBlockLength - state->buffered);
  state->counter += state->buffered;
  compress()(state->h, state->buffer, 1, state->counter, true);
  for (int i = 0; i < 8; ++i) store_le32(digest + 4 * i, state->h[i]);
  wipe_secret(state, sizeof *state);
}

}  // namespace velmorine::secure
