#include "native/secure/primitives/curve25519.h"

#include <gtest/gtest.h>

#include <cstring>

#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

struct Implementation {
  const char* name;
  Curve25519Ladder ladder;
  bool (*supported)();
};

const Implementation kImplementations[] = {
    {"portable", curve25519_ladder_portable, [] { return true; }},
#if defined(__SIZEOF_INT128__)
    {"radix51", curve25519_ladder_radix51, [] { return true; }},
#endif
#if VELMORINE_SECURE_X86_64
    {"adx", curve25519_ladder_adx, [] { return cpu_features().bmi2 && cpu_features().adx; }},
#endif
};

Bytes x25519_with(Curve25519Ladder ladder, const Bytes& scalar, const Bytes& point) {
  Bytes clamped = scalar;
  clamped[0] &= 248;
  clamped[31] &= 127;
  clamped[31] |= 64;
  Bytes out(32);
  ladder(out.data(), clamped.data(), point.data());
  return out;
}

Bytes openssl_x25519(const Bytes& scalar, const Bytes& point) {
  EVP_PKEY* ours = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point.data(), 32);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(ours, nullptr);
  Bytes out(32);
  std::size_t length = out.size();
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_derive_set_peer(ctx, peer);
  if (EVP_PKEY_derive(ctx, out.data(), &length) != 1) out.clear();
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(ours);
  return out;
}

const Bytes kBasePoint =
    testing::from_hex("0900000000000000000000000000000000000000000000000000000000000000");

class Curve25519Implementation : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
};

TEST_P(Curve25519Implementation, MatchesRfc7748Vectors) {
  struct Vector {
    const char* section;
    const char* scalar;
    const char* point;
    const char* result;
  };
  const Vector vectors[] = {
      {"5.2 first", "a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"5.2 second", "4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
      {"6.1 Alice public", "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
      {"6.1 Bob public", "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
      {"6.1 Alice shared", "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
      {"6.1 Bob shared", "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(testing::to_hex(x25519_with(GetParam().ladder, testing::from_hex(v.scalar),
                                          testing::from_hex(v.point))),
              v.result)
        << v.section;
  }
}

TEST_P(Curve25519Implementation, IteratedRfc7748Check) {
  // k = u = 9; repeatedly (k, u) = (X25519(k, u), k).
  Bytes k = kBasePoint, u = kBasePoint;
  for (int i = 1; i <= 1000; ++i) {
    Bytes next = x25519_with(GetParam().ladder, k, u);
    u = k;
    k = next;
    if (i == 1) {
      EXPECT_EQ(testing::to_hex(k),
                "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
    }
  }
  EXPECT_EQ(testing::to_hex(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST_P(Curve25519Implementation, MatchesOpenSslOnRandomPoints) {
  testing::SeededBytes random(61);
  for (int i = 0; i < 200; ++i) {
    const Bytes scalar = random.next(32), point = random.next(32);
    const Bytes expected = openssl_x25519(scalar, point);
    if (expected.empty()) continue;  // OpenSSL refuses an all-zero result
    ASSERT_EQ(x25519_with(GetParam().ladder, scalar, point), expected) << "case " << i;
  }
}

TEST_P(Curve25519Implementation, LowOrderAndNonCanonicalPoints) {
  struct Case {
    const char* point;
    const char* description;
    bool zero_result;
  };
  // Points of small order give zero whatever the scalar; values of p and above reduce mod p,
  // and the top bit is ignored.
  const Case cases[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", "zero", true},
      {"0100000000000000000000000000000000000000000000000000000000000000", "one", true},
      {"e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800", "order 8", true},
      {"5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157", "order 8", true},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "p - 1", true},
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "p", true},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "p + 1", true},
      {"0000000000000000000000000000000000000000000000000000000000000080", "zero, top bit", true},
      {"0900000000000000000000000000000000000000000000000000000000000080", "9, top bit", false},
      {"f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "p + 9", false},
  };
  testing::SeededBytes random(67);
  const Bytes scalar = random.next(32);
  const Bytes nine = x25519_with(GetParam().ladder, scalar, kBasePoint);
  for (const Case& c : cases) {
    const Bytes out = x25519_with(GetParam().ladder, scalar, testing::from_hex(c.point));
    if (c.zero_result) {
      EXPECT_EQ(out, Bytes(32, 0)) << c.description;
    } else {
      EXPECT_EQ(out, nine) << c.description;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Each, Curve25519Implementation, ::testing::ValuesIn(kImplementations),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(Curve25519, PublicEntryPointClampsAndAllowsAliasing) {
  testing::SeededBytes random(71);
  for (int i = 0; i < 20; ++i) {
    const Bytes scalar = random.next(32), point = random.next(32);
    Bytes out(32);
    curve25519_donna(out.data(), scalar.data(), point.data());
    EXPECT_EQ(out, x25519_with(curve25519_ladder_portable, scalar, point));
    Bytes aliased = point;
    curve25519_donna(aliased.data(), scalar.data(), aliased.data());
    EXPECT_EQ(aliased, out);
  }
}

TEST(Curve25519, KeyAgreementMeetsInTheMiddle) {
  testing::SeededBytes random(73);
  for (int i = 0; i < 20; ++i) {
    const Bytes a = random.next(32), b = random.next(32);
    Bytes a_public(32), b_public(32), a_shared(32), b_shared(32);
    curve25519_donna(a_public.data(), a.data(), kBasePoint.data());
    curve25519_donna(b_public.data(), b.data(), kBasePoint.data());
    curve25519_donna(a_shared.data(), a.data(), b_public.data());
    curve25519_donna(b_shared.data(), b.data(), a_public.data());
    EXPECT_EQ(a_shared, b_shared);
  }
}

}  // namespace
}  // namespace velmorine::secure
