#include "native/secure/primitives/poly1305.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

struct Implementation {
  const char* name;
  Poly1305Blocks blocks;
  bool (*supported)();
};

const Implementation kImplementations[] = {
    {"portable", poly1305_blocks_portable, [] { return true; }},
#if VELMORINE_SECURE_X86_64
    {"avx2", poly1305_blocks_avx2, [] { return cpu_features().avx2; }},
    {"avx512", poly1305_blocks_avx512,
     [] {
       const CpuFeatures& cpu = cpu_features();
       return cpu.avx512f && cpu.avx512vl && cpu.avx512bw;
     }},
    {"avx512ifma", poly1305_blocks_avx512ifma,
     [] {
       const CpuFeatures& cpu = cpu_features();
       return cpu.avx512f && cpu.avx512vl && cpu.avx512ifma;
     }},
#endif
};

// The public streaming code with its full blocks routed to one implementation: the state
// is driven by hand so the last partial block still goes through the shared code.
Bytes tag_with(Poly1305Blocks blocks, const Bytes& key, const Bytes& data) {
  Poly1305State state;
  poly1305_init(&state, key.data());
  const std::size_t whole = data.size() / 16;
  if (whole != 0) blocks(&state, data.data(), whole);
  poly1305_update(&state, data.data() + whole * 16, data.size() - whole * 16);
  Bytes tag(16);
  poly1305_finish(&state, tag.data());
  return tag;
}

Bytes openssl_poly1305(const Bytes& key, const Bytes& data) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  EVP_MAC_init(ctx, key.data(), key.size(), nullptr);
  EVP_MAC_update(ctx, data.data(), data.size());
  Bytes tag(16);
  std::size_t length = 0;
  EVP_MAC_final(ctx, tag.data(), &length, tag.size());
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return tag;
}

class Poly1305Implementation : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
};

TEST_P(Poly1305Implementation, MatchesRfc8439Vectors) {
  struct Vector {
    const char* section;
    const char* key;
    Bytes message;
    const char* tag;
  };
  const Bytes ff16(16, 0xff);
  const Vector vectors[] = {
      {"2.5.2", "85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b",
       testing::text_bytes("Cryptographic Forum Research Group"),
       "a8061dc1305136c6c22b8baf0c0127a9"},
      {"A.3 #1", "0000000000000000000000000000000000000000000000000000000000000000", Bytes(64, 0),
       "00000000000000000000000000000000"},
      {"A.3 #5", "0200000000000000000000000000000000000000000000000000000000000000", ff16,
       "03000000000000000000000000000000"},
      {"A.3 #6", "02000000000000000000000000000000ffffffffffffffffffffffffffffffff",
       testing::from_hex("02000000000000000000000000000000"), "03000000000000000000000000000000"},
      {"A.3 #7", "0100000000000000000000000000000000000000000000000000000000000000",
       testing::from_hex("ffffffffffffffffffffffffffffffff f0ffffffffffffffffffffffffffffff"
                         "11000000000000000000000000000000"),
       "05000000000000000000000000000000"},
      {"A.3 #8", "0100000000000000000000000000000000000000000000000000000000000000",
       testing::from_hex("ffffffffffffffffffffffffffffffff fbfefefefefefefefefefefefefefefe"
                         "01010101010101010101010101010101"),
       "00000000000000000000000000000000"},
      {"A.3 #9", "0200000000000000000000000000000000000000000000000000000000000000",
       testing::from_hex("fdffffffffffffffffffffffffffffff"), "faffffffffffffffffffffffffffffff"},
      {"A.3 #10", "0100000000000000040000000000000000000000000000000000000000000000",
       testing::from_hex("e33594d7505e43b90000000000000000 3394d7505e4379cd0100000000000000"
                         "00000000000000000000000000000000 01000000000000000000000000000000"),
       "14000000000000005500000000000000"},
      {"A.3 #11", "0100000000000000040000000000000000000000000000000000000000000000",
       testing::from_hex("e33594d7505e43b90000000000000000 3394d7505e4379cd0100000000000000"
                         "00000000000000000000000000000000"),
       "13000000000000000000000000000000"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(testing::to_hex(tag_with(GetParam().blocks, testing::from_hex(v.key), v.message)),
              v.tag)
        << v.section;
  }
}

TEST_P(Poly1305Implementation, MatchesOpenSslAcrossLengths) {
  testing::SeededBytes random(53);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes key = random.next(32), data = random.next(length);
    ASSERT_EQ(tag_with(GetParam().blocks, key, data), openssl_poly1305(key, data))
        << "length " << length;
  }
}

TEST_P(Poly1305Implementation, MatchesOpenSslOverWholeRecords) {
  testing::SeededBytes random(54);
  for (const std::size_t length : {61440u, 61440u + 16 * 7 + 3, 61440u + 16 * 40}) {
    const Bytes key = random.next(32), data = random.next(length);
    ASSERT_EQ(tag_with(GetParam().blocks, key, data), openssl_poly1305(key, data))
        << "length " << length;
  }
}

// Random lengths cut into random runs of whole blocks, each run a call of its own that starts
// from the accumulator the previous one left.
TEST_P(Poly1305Implementation, AgreesWithPortableOverRandomLengthsAndPieces) {
  testing::SeededBytes random(55);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t length = testing::random_length(random);
    const Bytes key = random.next(32), data = random.next(length);
    Poly1305State state;
    poly1305_init(&state, key.data());
    std::size_t offset = 0;
    for (const std::size_t piece : testing::random_pieces(random, length / 16 * 16)) {
      if (piece / 16 != 0) GetParam().blocks(&state, data.data() + offset, piece / 16);
      offset += piece / 16 * 16;
    }
    poly1305_update(&state, data.data() + offset, length - offset);
    Bytes tag(16);
    poly1305_finish(&state, tag.data());
    ASSERT_EQ(tag, tag_with(poly1305_blocks_portable, key, data))
        << "trial " << trial << ", length " << length;
  }
}

TEST_P(Poly1305Implementation, SurvivesAccumulatorsNearTheModulus) {
  // All-ones keys and messages keep every limb at its largest between reductions.
  const Bytes key(32, 0xff);
  for (const std::size_t length : {16u, 64u, 256u, 1024u, 4096u, 61440u}) {
    const Bytes data(length, 0xff);
    ASSERT_EQ(tag_with(GetParam().blocks, key, data), openssl_poly1305(key, data))
        << "length " << length;
  }
}

TEST_P(Poly1305Implementation, ContinuesFromARunningAccumulator) {
  // Two runs of whole blocks: the second starts from whatever the first left in h.
  testing::SeededBytes random(57);
  for (const std::size_t first : {1u, 3u, 16u, 17u, 40u}) {
    for (const std::size_t second : {16u, 19u, 32u, 37u, 100u}) {
      const Bytes key = random.next(32), data = random.next(16 * (first + second) + 5);
      Poly1305State state;
      poly1305_init(&state, key.data());
      GetParam().blocks(&state, data.data(), first);
      GetParam().blocks(&state, data.data() + 16 * first, second);
      poly1305_update(&state, data.data() + 16 * (first + second), 5);
      Bytes tag(16);
      poly1305_finish(&state, tag.data());
      ASSERT_EQ(tag, openssl_poly1305(key, data)) << first << " then " << second << " blocks";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Each, Poly1305Implementation, ::testing::ValuesIn(kImplementations),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(Poly1305, UpdatesSplitAnywhereGiveTheOneShotTag) {
  testing::SeededBytes random(59);
  for (const std::size_t length : {1u, 15u, 16u, 17u, 100u, 1000u, 2049u}) {
    const Bytes key = random.next(32), data = random.next(length);
    Bytes whole(16);
    poly1305_auth(whole.data(), data.data(), data.size(), key.data());
    ASSERT_EQ(whole, openssl_poly1305(key, data));
    for (int trial = 0; trial < 40; ++trial) {
      Poly1305State state;
      poly1305_init(&state, key.data());
      std::size_t offset = 0;
      while (offset < data.size()) {
        const std::size_t piece = std::min(random.below(150), data.size() - offset);
        poly1305_update(&state, data.data() + offset, piece);
        offset += piece;
      }
      Bytes tag(16);
      poly1305_finish(&state, tag.data());
      ASSERT_EQ(tag, whole) << "length " << length << " trial " << trial;
    }
  }
}

TEST(Poly1305, FinishWipesTheState) {
  const Bytes key(32, 0x5a), data(40, 1);
  Poly1305State state;
  poly1305_init(&state, key.data());
  poly1305_update(&state, data.data(), data.size());
  std::uint8_t tag[16];
  poly1305_finish(&state, tag);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&state);
  EXPECT_EQ(Bytes(raw, raw + sizeof state), Bytes(sizeof state, 0));
}

TEST(Poly1305, VerifyComparesEveryByte) {
  const Bytes tag = testing::from_hex("a8061dc1305136c6c22b8baf0c0127a9");
  EXPECT_EQ(poly1305_verify(tag.data(), tag.data()), 1);
  for (std::size_t i = 0; i < 16; ++i) {
    for (const std::uint8_t flip : {0x01, 0x80, 0xff}) {
      Bytes other = tag;
      other[i] ^= flip;
      EXPECT_EQ(poly1305_verify(tag.data(), other.data()), 0) << "byte " << i;
    }
  }
}

TEST(Poly1305, PowerOnSelfTestPasses) { EXPECT_EQ(poly1305_power_on_self_test(), 1); }

}  // namespace
}  // namespace velmorine::secure
