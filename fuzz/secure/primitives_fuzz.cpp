// Differential fuzzing of the primitives: every implementation this machine runs must agree
// with the portable one, and streaming in the fuzzer's pieces must agree with one call.
//
// Input: byte 0 seeds the split points (and picks the inputs that run X25519), bytes 1..32 are
// a key, the rest the message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "native/secure/primitives/blake2s.h"
#include "native/secure/primitives/blake2s_compress.h"
#include "native/secure/primitives/chacha20.h"
#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/poly1305.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/sha256.h"
#include "native/secure/primitives/sha256_blocks.h"

namespace {

using namespace velmorine::secure;

void require(bool condition) {
  if (!condition) std::abort();
}

// Splits `length` into pieces whose sizes come from a small generator seeded by the input.
std::vector<std::size_t> pieces(std::uint8_t seed, std::size_t length) {
  std::vector<std::size_t> out;
  std::uint32_t x = seed * 2654435761u + 1;
  while (length != 0) {
    x = x * 1103515245u + 12345u;
    std::size_t piece = (x >> 16) % 300;
    if (piece > length) piece = length;
    out.push_back(piece);
    length -= piece;
  }
  return out;
}

void check_chacha(const std::uint8_t key[32], const std::uint8_t* data, std::size_t length) {
  ChaChaState state;
  chacha_keysetup(&state, key, 256);
  chacha_ivsetup(&state, key + 8, key + 16);
  ChaChaState reference = state;
  std::vector<std::uint8_t> ours(length + 1), expected(length + 1);
  chacha_encrypt_bytes(&state, data, ours.data(), length);
  chacha_xor_portable(reference.input, data, expected.data(), length);
  require(std::memcmp(ours.data(), expected.data(), length) == 0);
  require(std::memcmp(state.input, reference.input, sizeof state.input) == 0);
}

void check_poly1305(std::uint8_t seed, const std::uint8_t key[32], const std::uint8_t* data,
                    std::size_t length) {
  std::uint8_t whole[16], streamed[16], portable[16];
  poly1305_auth(whole, data, length, key);
  Poly1305State state;
  poly1305_init(&state, key);
  std::size_t offset = 0;
  for (const std::size_t piece : pieces(seed, length)) {
    poly1305_update(&state, data + offset, piece);
    offset += piece;
  }
  poly1305_finish(&state, streamed);
  poly1305_init(&state, key);
  poly1305_blocks_portable(&state, data, length / 16);
  poly1305_update(&state, data + length / 16 * 16, length % 16);
  poly1305_finish(&state, portable);
  require(poly1305_verify(whole, streamed) == 1);
  require(poly1305_verify(whole, portable) == 1);
}

template <typename State>
void check_stream(std::uint8_t seed, const std::uint8_t* data, std::size_t length,
                  void (*reset)(State*), void (*update)(State*, const std::uint8_t*, std::size_t),
                  void (*finish)(State*, std::uint8_t*)) {
  std::uint8_t whole[32], streamed[32];
  State state;
  reset(&state);
  update(&state, data, length);
  finish(&state, whole);
  reset(&state);
  std::size_t offset = 0;
  for (const std::size_t piece : pieces(seed, length)) {
    update(&state, data + offset, piece);
    offset += piece;
  }
  finish(&state, streamed);
  require(std::memcmp(whole, streamed, 32) == 0);
}

void check_compressions(const std::uint8_t* data, std::size_t length) {
  const std::size_t blocks = length / 64;
  if (blocks == 0) return;
  std::uint32_t a[8], b[8];
  for (int i = 0; i < 8; ++i) a[i] = b[i] = kBlake2sIv[i] ^ static_cast<std::uint32_t>(i);
  blake2s_compress_for_cpu()(a, data, blocks, 64, false);
  blake2s_compress_portable(b, data, blocks, 64, false);
  require(std::memcmp(a, b, sizeof a) == 0);
  sha256_blocks_for_cpu()(a, data, blocks);
  sha256_blocks_portable(b, data, blocks);
  require(std::memcmp(a, b, sizeof a) == 0);
}

void check_x25519(const std::uint8_t key[32], const std::uint8_t* data, std::size_t length) {
  if (length < 32) return;
  std::uint8_t clamped[32];
  std::memcpy(clamped, key, 32);
  clamped[0] &= 248;
  clamped[31] &= 127;
  clamped[31] |= 64;
  std::uint8_t ours[32], expected[32];
  curve25519_ladder_for_cpu()(ours, clamped, data);
  curve25519_ladder_portable(expected, clamped, data);
  require(std::memcmp(ours, expected, 32) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 33) return 0;
  const std::uint8_t seed = input[0];
  const std::uint8_t* key = input + 1;
  const std::uint8_t* data = input + 33;
  const std::size_t length = size - 33;
  check_chacha(key, data, length);
  check_poly1305(seed, key, data, length);
  check_stream<Blake2sState>(seed, data, length, blake2s_reset, blake2s_update, blake2s_finalize);
  check_stream<Sha256State>(seed, data, length, sha256_reset, sha256_update, sha256_finish);
  check_compressions(data, length);
  // The portable ladder is slow under the sanitizers: one input in sixteen is enough for it.
  if (seed % 16 == 0) check_x25519(key, data, length);
  return 0;
}
