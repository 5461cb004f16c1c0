#include "native/secure/primitives/blake2s.h"

#include <gtest/gtest.h>

#include "native/secure/primitives/blake2s_compress.h"
#include "native/secure/primitives/cpu_features.h"
#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

struct Implementation {
  const char* name;
  Blake2sCompress compress;
  bool (*supported)();
};

const Implementation kImplementations[] = {
    {"portable", blake2s_compress_portable, [] { return true; }},
#if VELMORINE_SECURE_X86_64
    {"ssse3", blake2s_compress_ssse3, [] { return cpu_features().ssse3; }},
#endif
};

// Runs the streaming construction over one compression implementation, so that every
// implementation meets the same vectors as the public entry points.
Bytes hash_with(Blake2sCompress compress, const Bytes& data) {
  std::uint32_t h[8];
  for (int i = 0; i < 8; ++i) h[i] = kBlake2sIv[i];
  h[0] ^= 0x01010020;
  std::size_t offset = 0;
  std::uint64_t counter = 0;
  while (data.size() - offset > 64) {
    const std::size_t blocks = (data.size() - offset - 1) / 64;
    compress(h, data.data() + offset, blocks, counter + 64, false);
    counter += 64 * blocks;
    offset += 64 * blocks;
  }
  std::uint8_t last[64] = {};
  std::copy(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end(), last);
  compress(h, last, 1, counter + (data.size() - offset), true);
  Bytes digest(32);
  for (int i = 0; i < 8; ++i) {
    for (int b = 0; b < 4; ++b) digest[4 * i + b] = static_cast<std::uint8_t>(h[i] >> (8 * b));
  }
  return digest;
}

Bytes hash_public(const Bytes& data) {
  Blake2sState state;
  blake2s_reset(&state);
  blake2s_update(&state, data.data(), data.size());
  Bytes digest(32);
  blake2s_finalize(&state, digest.data());
  return digest;
}

class Blake2sImplementation : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
};

TEST_P(Blake2sImplementation, MatchesPublishedDigests) {
  struct Vector {
    const char* message;
    const char* digest;
  };
  const Vector vectors[] = {
      // RFC 7693 appendix B.
      {"abc", "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982"},
      {"", "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(testing::to_hex(hash_with(GetParam().compress, testing::text_bytes(v.message))),
              v.digest)
        << v.message;
  }
}

TEST_P(Blake2sImplementation, MatchesOpenSslAcrossLengths) {
  testing::SeededBytes random(7);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes data = random.next(length);
    ASSERT_EQ(hash_with(GetParam().compress, data), testing::openssl_digest(EVP_blake2s256(), data))
        << "length " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Each, Blake2sImplementation, ::testing::ValuesIn(kImplementations),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(Blake2s, PublicEntryPointsMatchOpenSsl) {
  testing::SeededBytes random(11);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes data = random.next(length);
    ASSERT_EQ(hash_public(data), testing::openssl_digest(EVP_blake2s256(), data))
        << "length " << length;
  }
}

TEST(Blake2s, UpdatesSplitAnywhereGiveTheOneShotDigest) {
  testing::SeededBytes random(13);
  for (const std::size_t length : {1u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u, 2049u}) {
    const Bytes data = random.next(length);
    const Bytes whole = hash_public(data);
    for (int trial = 0; trial < 40; ++trial) {
      Blake2sState state;
      blake2s_reset(&state);
      std::size_t offset = 0;
      while (offset < data.size()) {
        // Pieces of 0 to 130 bytes land on, before and after block boundaries.
        const std::size_t piece = std::min(random.below(131), data.size() - offset);
        blake2s_update(&state, data.data() + offset, piece);
        offset += piece;
      }
      Bytes digest(32);
      blake2s_finalize(&state, digest.data());
      ASSERT_EQ(digest, whole) << "length " << length << " trial " << trial;
    }
  }
}

TEST(Blake2s, FinalizeWipesTheState) {
  Blake2sState state;
  blake2s_reset(&state);
  const Bytes data = testing::text_bytes("secret chaining key material");
  blake2s_update(&state, data.data(), data.size());
  std::uint8_t digest[32];
  blake2s_finalize(&state, digest);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&state);
  EXPECT_EQ(Bytes(raw, raw + sizeof state), Bytes(sizeof state, 0));
}

}  // namespace
}  // namespace velmorine::secure
