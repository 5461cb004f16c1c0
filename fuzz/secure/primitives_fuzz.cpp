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

// Every keystream and Poly1305 block implementation this CPU runs.
std::vector<ChaChaXor> chacha_paths() {
  std::vector<ChaChaXor> paths;
#if VELMORINE_SECURE_X86_64
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx2) paths.push_back(chacha_xor_avx2);
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) paths.push_back(chacha_xor_avx512);
#endif
  return paths;
}

std::vector<Poly1305Blocks> poly1305_paths() {
  std::vector<Poly1305Blocks> paths;
#if VELMORINE_SECURE_X86_64
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx2) paths.push_back(poly1305_blocks_avx2);
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) paths.push_back(poly1305_blocks_avx512);
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512ifma) paths.push_back(poly1305_blocks_avx512ifma);
#endif
  return paths;
}

void check_chacha(std::uint8_t seed, const std::uint8_t key[32], const std::uint8_t* data,
                  std::size_t length) {
  ChaChaState start;
  chacha_keysetup(&start, key, 256);
  chacha_ivsetup(&start, key + 8, key + 16);
  ChaChaState state = start, reference = start;
  std::vector<std::uint8_t> ours(length + 1), expected(length + 1);
  chacha_encrypt_bytes(&state, data, ours.data(), length);
  chacha_xor_portable(reference.input, data, expected.data(), length);
  require(std::memcmp(ours.data(), expected.data(), length) == 0);
  require(std::memcmp(state.input, reference.input, sizeof state.input) == 0);

  // Each path in one call, then in the fuzzer's pieces (each starting a block) against the
  // portable code cut the same way.
  const ChaChaState whole_end = reference;
  std::vector<std::uint8_t> expected_in_pieces(length + 1);
  reference = start;
  std::size_t offset = 0;
  for (const std::size_t piece : pieces(seed, length)) {
    if (piece != 0) {
      chacha_xor_portable(reference.input, data + offset, expected_in_pieces.data() + offset,
                          piece);
    }
    offset += piece;
  }
  for (const ChaChaXor path : chacha_paths()) {
    state = start;
    if (length != 0) path(state.input, data, ours.data(), length);
    require(std::memcmp(ours.data(), expected.data(), length) == 0);
    require(std::memcmp(state.input, whole_end.input, sizeof state.input) == 0);
    state = start;
    offset = 0;
    for (const std::size_t piece : pieces(seed, length)) {
      if (piece != 0) path(state.input, data + offset, ours.data() + offset, piece);
      offset += piece;
    }
    require(std::memcmp(ours.data(), expected_in_pieces.data(), length) == 0);
    require(std::memcmp(state.input, reference.input, sizeof state.input) == 0);
  }
}

// The tag from `blocks` fed all the whole blocks in one call, or (`cut`) the whole blocks of
// each of the fuzzer's pieces in a call of their own; the rest goes through the shared code.
void tag_with(Poly1305Blocks blocks, bool cut, std::uint8_t seed, const std::uint8_t key[32],
              const std::uint8_t* data, std::size_t length, std::uint8_t tag[16]) {
  Poly1305State state;
  poly1305_init(&state, key);
  std::size_t offset = 0;
  if (!cut) {
    if (length >= 16) blocks(&state, data, length / 16);
    offset = length / 16 * 16;
  } else {
    for (const std::size_t piece : pieces(seed, length / 16 * 16)) {
      if (piece >= 16) blocks(&state, data + offset, piece / 16);
      offset += piece / 16 * 16;
    }
  }
  poly1305_update(&state, data + offset, length - offset);
  poly1305_finish(&state, tag);
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
  for (const Poly1305Blocks path : poly1305_paths()) {
    for (const bool cut : {false, true}) {
      std::uint8_t tag[16];
      tag_with(path, cut, seed, key, data, length, tag);
      require(poly1305_verify(whole, tag) == 1);
    }
  }
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
  check_chacha(seed, key, data, length);
  check_poly1305(seed, key, data, length);
  check_stream<Blake2sState>(seed, data, length, blake2s_reset, blake2s_update, blake2s_finalize);
  check_stream<Sha256State>(seed, data, length, sha256_reset, sha256_update, sha256_finish);
  check_compressions(data, length);
  // The portable ladder is slow under the sanitizers: one input in sixteen is enough for it.
  if (seed % 16 == 0) check_x25519(key, data, length);
  return 0;
}
