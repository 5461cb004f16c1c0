#include "native/secure/primitives/sha256.h"

#include <gtest/gtest.h>

#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/sha256_blocks.h"
#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

struct Implementation {
  const char* name;
  Sha256Blocks blocks;
  bool (*supported)();
};

const Implementation kImplementations[] = {
    {"portable", sha256_blocks_portable, [] { return true; }},
#if VELMORINE_SECURE_X86_64
    {"shani", sha256_blocks_shani,
     [] { return cpu_features().sha && cpu_features().sse41 && cpu_features().ssse3; }},
#endif
};

// FIPS 180-4 padding over one block implementation.
Bytes hash_with(Sha256Blocks blocks, const Bytes& data) {
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  Bytes padded = data;
  padded.push_back(0x80);
  while (padded.size() % 64 != 56) padded.push_back(0);
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 7; i >= 0; --i) padded.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  blocks(h, padded.data(), padded.size() / 64);
  Bytes digest;
  for (const std::uint32_t word : h) {
    for (int i = 3; i >= 0; --i) digest.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
  }
  return digest;
}

Bytes hash_public(const Bytes& data) {
  Sha256State state;
  sha256_reset(&state);
  sha256_update(&state, data.data(), data.size());
  Bytes digest(32);
  sha256_finish(&state, digest.data());
  return digest;
}

class Sha256Implementation : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
};

TEST_P(Sha256Implementation, MatchesFipsExamples) {
  struct Vector {
    std::string message;
    const char* digest;
  };
  const Vector vectors[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(testing::to_hex(hash_with(GetParam().blocks, testing::text_bytes(v.message))),
              v.digest)
        << v.message.substr(0, 60);
  }
}

TEST_P(Sha256Implementation, MatchesOpenSslAcrossLengths) {
  testing::SeededBytes random(17);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes data = random.next(length);
    ASSERT_EQ(hash_with(GetParam().blocks, data), testing::openssl_digest(EVP_sha256(), data))
        << "length " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Each, Sha256Implementation, ::testing::ValuesIn(kImplementations),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(Sha256, PublicEntryPointsMatchOpenSsl) {
  testing::SeededBytes random(19);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes data = random.next(length);
    ASSERT_EQ(hash_public(data), testing::openssl_digest(EVP_sha256(), data))
        << "length " << length;
  }
}

TEST(Sha256, UpdatesSplitAnywhereGiveTheOneShotDigest) {
  testing::SeededBytes random(23);
  for (const std::size_t length : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u, 2049u}) {
    const Bytes data = random.next(length);
    const Bytes whole = hash_public(data);
    for (int trial = 0; trial < 40; ++trial) {
      Sha256State state;
      sha256_reset(&state);
      std::size_t offset = 0;
      while (offset < data.size()) {
        const std::size_t piece = std::min(random.below(131), data.size() - offset);
        sha256_update(&state, data.data() + offset, piece);
        offset += piece;
      }
      Bytes digest(32);
      sha256_finish(&state, digest.data());
      ASSERT_EQ(digest, whole) << "length " << length << " trial " << trial;
    }
  }
}

}  // namespace
}  // namespace velmorine::secure
