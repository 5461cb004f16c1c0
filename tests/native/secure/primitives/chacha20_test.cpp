#include "native/secure/primitives/chacha20.h"

#include <gtest/gtest.h>

#include <cstring>

#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

struct Implementation {
  const char* name;
  ChaChaXor xor_keystream;
  bool (*supported)();
};

const Implementation kImplementations[] = {
    {"portable", chacha_xor_portable, [] { return true; }},
#if VELMORINE_SECURE_X86_64
    {"avx2", chacha_xor_avx2, [] { return cpu_features().avx2; }},
    {"avx512", chacha_xor_avx512,
     [] {
       const CpuFeatures& cpu = cpu_features();
       return cpu.avx512f && cpu.avx512vl && cpu.avx512bw;
     }},
#endif
};

const Bytes kRfcKey =
    testing::from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

// Keystream XOR through one implementation, from the given 64-bit nonce and counter.
Bytes run(ChaChaXor xor_keystream, const Bytes& key, const Bytes& nonce, const Bytes& counter,
          const Bytes& input) {
  ChaChaState state;
  chacha_keysetup(&state, key.data(), 256);
  chacha_ivsetup(&state, nonce.data(), counter.data());
  Bytes out(input.size());
  if (!input.empty()) xor_keystream(state.input, input.data(), out.data(), input.size());
  return out;
}

// OpenSSL's ChaCha20 takes a 16-byte IV: the 32-bit block counter then the 96-bit nonce,
// which is the 64-bit counter then the 64-bit nonce as long as the counter stays below 2^32.
Bytes openssl_chacha(const Bytes& key, const Bytes& nonce, const Bytes& counter,
                     const Bytes& input) {
  Bytes iv = counter;
  iv.insert(iv.end(), nonce.begin(), nonce.end());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, key.data(), iv.data());
  Bytes out(input.size() + 64);
  int length = 0;
  EVP_EncryptUpdate(ctx, out.data(), &length, input.data(), static_cast<int>(input.size()));
  EVP_CIPHER_CTX_free(ctx);
  out.resize(input.size());
  return out;
}

class ChaChaImplementation : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
};

// RFC 8439's 96-bit nonce n0 n1 n2 with 32-bit counter c is the 64-bit counter (c, n0) and
// the 64-bit nonce (n1, n2).
TEST_P(ChaChaImplementation, MatchesRfc8439Vectors) {
  struct Vector {
    const char* section;
    const char* counter;
    const char* nonce;
    Bytes plaintext;
    const char* ciphertext;
  };
  const Vector vectors[] = {
      {"2.3.2 block function", "0100000000000009", "0000004a00000000", Bytes(64, 0),
       "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
       "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
      {"2.4.2 encryption", "0100000000000000", "0000004a00000000",
       testing::text_bytes("Ladies and Gentlemen of the class of '99: If I could offer you only "
                           "one tip for the future, sunscreen would be it."),
       "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
       "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
       "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
       "5af90bbf74a35be6b40b8eedf2785e42874d"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(testing::to_hex(run(GetParam().xor_keystream, kRfcKey, testing::from_hex(v.nonce),
                                  testing::from_hex(v.counter), v.plaintext)),
              v.ciphertext)
        << v.section;
  }
}

TEST_P(ChaChaImplementation, MatchesOpenSslAcrossLengthsAndCounters) {
  testing::SeededBytes random(29);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes key = random.next(32), nonce = random.next(8);
    // OpenSSL's 32-bit block counter does not carry into the word above it, so the low word
    // stays far from wrapping here; the carry is checked against the portable path below.
    Bytes counter = random.next(8);
    counter[3] &= 0x7f;
    const Bytes input = random.next(length);
    ASSERT_EQ(run(GetParam().xor_keystream, key, nonce, counter, input),
              openssl_chacha(key, nonce, counter, input))
        << "length " << length;
  }
}

TEST_P(ChaChaImplementation, MatchesOpenSslOverWholeRecords) {
  testing::SeededBytes random(30);
  for (const std::size_t length : {61440u, 61440u + 64 * 3 + 17, 61440u + 1024 + 600}) {
    const Bytes key = random.next(32), nonce = random.next(8), counter = random.next(8);
    const Bytes input = random.next(length);
    Bytes low_counter = counter;
    low_counter[3] &= 0x7f;
    ASSERT_EQ(run(GetParam().xor_keystream, key, nonce, low_counter, input),
              openssl_chacha(key, nonce, low_counter, input))
        << "length " << length;
  }
}

// Random lengths and random cuts, each piece a call of its own: every piece starts a block, so
// the implementations must agree on what a partial block leaves in the counter too.
TEST_P(ChaChaImplementation, AgreesWithPortableOverRandomLengthsAndPieces) {
  testing::SeededBytes random(33);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t length = testing::random_length(random);
    const Bytes key = random.next(32), nonce = random.next(8), counter = random.next(8);
    const Bytes input = random.next(length);
    ChaChaState ours, reference;
    chacha_keysetup(&ours, key.data(), 256);
    chacha_ivsetup(&ours, nonce.data(), counter.data());
    reference = ours;
    Bytes a(length), b(length);
    std::size_t offset = 0;
    for (const std::size_t piece : testing::random_pieces(random, length)) {
      if (piece != 0) {
        GetParam().xor_keystream(ours.input, input.data() + offset, a.data() + offset, piece);
        chacha_xor_portable(reference.input, input.data() + offset, b.data() + offset, piece);
      }
      offset += piece;
    }
    ASSERT_EQ(a, b) << "trial " << trial << ", length " << length;
    ASSERT_EQ(std::memcmp(ours.input, reference.input, sizeof ours.input), 0) << "trial " << trial;
  }
}

TEST_P(ChaChaImplementation, LeavesTheBytesPastTheEndAlone) {
  // The vector tails store through byte masks; one byte too many would land here.
  testing::SeededBytes random(35);
  const Bytes key = random.next(32), nonce = random.next(8), counter(8, 0);
  for (std::size_t length = 1; length <= 2100; length += length < 200 ? 1 : 13) {
    const Bytes input = random.next(length);
    Bytes out(length + 64, 0xaa);
    ChaChaState state;
    chacha_keysetup(&state, key.data(), 256);
    chacha_ivsetup(&state, nonce.data(), counter.data());
    GetParam().xor_keystream(state.input, input.data(), out.data(), length);
    ASSERT_EQ(Bytes(out.begin() + static_cast<std::ptrdiff_t>(length), out.end()), Bytes(64, 0xaa))
        << "length " << length;
  }
}

TEST_P(ChaChaImplementation, AgreesWithPortableAcrossTheCounterCarry) {
  testing::SeededBytes random(31);
  const Bytes key = random.next(32), nonce = random.next(8);
  // The low counter word wraps inside a vector batch (three blocks in), or exactly between two
  // sixteen-block batches.
  for (const std::uint32_t blocks_to_carry : {3u, 16u}) {
    Bytes counter = testing::from_hex("0000000005000000");
    const std::uint32_t low = 0u - blocks_to_carry;
    for (int i = 0; i < 4; ++i) counter[i] = static_cast<std::uint8_t>(low >> (8 * i));
    for (const std::size_t length : {64u * 3, 64u * 3 + 1, 64u * 8, 64u * 17 + 5, 64u * 40 + 9}) {
      const Bytes input = random.next(length);
      ChaChaState ours, reference;
      chacha_keysetup(&ours, key.data(), 256);
      chacha_ivsetup(&ours, nonce.data(), counter.data());
      reference = ours;
      Bytes a(length), b(length);
      GetParam().xor_keystream(ours.input, input.data(), a.data(), length);
      chacha_xor_portable(reference.input, input.data(), b.data(), length);
      ASSERT_EQ(a, b) << blocks_to_carry << " blocks to the carry, length " << length;
      EXPECT_EQ(std::memcmp(ours.input, reference.input, sizeof ours.input), 0);
      EXPECT_EQ(ours.input[13], (length + 63) / 64 >= blocks_to_carry ? 6u : 5u);
    }
  }
}

TEST_P(ChaChaImplementation, CipheringInPlaceEqualsCipheringIntoAnotherBuffer) {
  testing::SeededBytes random(37);
  for (const std::size_t length : {1u, 64u, 100u, 511u, 512u, 513u, 2000u}) {
    const Bytes key = random.next(32), nonce = random.next(8), counter(8, 0);
    const Bytes input = random.next(length);
    Bytes in_place = input;
    ChaChaState state;
    chacha_keysetup(&state, key.data(), 256);
    chacha_ivsetup(&state, nonce.data(), counter.data());
    GetParam().xor_keystream(state.input, in_place.data(), in_place.data(), length);
    EXPECT_EQ(in_place, run(GetParam().xor_keystream, key, nonce, counter, input));
  }
}

INSTANTIATE_TEST_SUITE_P(Each, ChaChaImplementation, ::testing::ValuesIn(kImplementations),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(ChaCha20, CallsContinueAtTheNextBlock) {
  testing::SeededBytes random(41);
  const Bytes key = random.next(32), nonce = random.next(8);
  const Bytes input = random.next(64 * 12);
  Bytes whole(input.size());
  ChaChaState state;
  chacha_keysetup(&state, key.data(), 256);
  chacha_ivsetup(&state, nonce.data(), nullptr);
  chacha_encrypt_bytes(&state, input.data(), whole.data(), input.size());

  // Pieces of whole blocks chain to the same stream; a partial piece drops its block's rest.
  Bytes pieces(input.size());
  chacha_ivsetup(&state, nonce.data(), nullptr);
  chacha_encrypt_bytes(&state, input.data(), pieces.data(), 64);
  chacha_encrypt_bytes(&state, input.data() + 64, pieces.data() + 64, 64 * 9);
  chacha_encrypt_bytes(&state, input.data() + 64 * 10, pieces.data() + 64 * 10, 10);
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 64 * 10 + 10, pieces.begin()));
  chacha_encrypt_bytes(&state, input.data() + 64 * 11, pieces.data() + 64 * 11, 64);
  EXPECT_TRUE(std::equal(whole.begin() + 64 * 11, whole.end(), pieces.begin() + 64 * 11));
  EXPECT_EQ(state.input[12], 12u);
}

TEST(ChaCha20, EncryptingTwiceFromTheSamePositionRestoresTheInput) {
  testing::SeededBytes random(43);
  const Bytes key = random.next(32), nonce = random.next(8), counter = random.next(8);
  const Bytes input = random.next(777);
  Bytes data = input;
  ChaChaState state;
  chacha_keysetup(&state, key.data(), 256);
  chacha_ivsetup(&state, nonce.data(), counter.data());
  const ChaChaState start = state;
  chacha_encrypt_bytes(&state, data.data(), data.data(), data.size());
  EXPECT_NE(data, input);
  state = start;
  chacha_encrypt_bytes(&state, data.data(), data.data(), data.size());
  EXPECT_EQ(data, input);
}

TEST(ChaCha20, ShortKeysUseTheSixteenByteConstantAndRepeatTheKey) {
  const Bytes key16 = testing::from_hex("000102030405060708090a0b0c0d0e0f");
  ChaChaState state;
  chacha_keysetup(&state, key16.data(), 128);
  EXPECT_EQ(state.input[0], 0x61707865u);  // "expa"
  EXPECT_EQ(state.input[1], 0x3120646eu);  // "nd 1"
  EXPECT_EQ(state.input[2], 0x79622d36u);  // "6-by"
  EXPECT_EQ(std::memcmp(&state.input[4], &state.input[8], 16), 0);
  chacha_keysetup(&state, kRfcKey.data(), 256);
  EXPECT_EQ(state.input[1], 0x3320646eu);  // "nd 3"
  EXPECT_EQ(state.input[8], 0x13121110u);
}

TEST(ChaCha20, PublicEntryPointMatchesOpenSsl) {
  testing::SeededBytes random(47);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes key = random.next(32), nonce = random.next(8);
    const Bytes counter = testing::from_hex("0100000000000000");
    const Bytes input = random.next(length);
    ChaChaState state;
    chacha_keysetup(&state, key.data(), 256);
    chacha_ivsetup(&state, nonce.data(), counter.data());
    Bytes out(length);
    chacha_encrypt_bytes(&state, input.data(), out.data(), length);
    ASSERT_EQ(out, openssl_chacha(key, nonce, counter, input)) << "length " << length;
    EXPECT_EQ(state.input[12], 1 + (length + 63) / 64);
  }
}

}  // namespace
}  // namespace velmorine::secure
