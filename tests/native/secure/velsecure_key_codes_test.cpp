#include "native/secure/velsecure_key_codes.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/native/secure/noise/noise_test_support.h"
#include "tests/native/secure/openssl_reference.h"

namespace velmorine::secure::testing {
namespace {

Bytes filled(size_t len, uint8_t seed) {
  Bytes out(len);
  for (size_t i = 0; i < len; ++i) out[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return out;
}

Bytes label(const char* text) { return Bytes(text, text + std::strlen(text) + 1); }

// The code text from a digest, written independently of the code under test.
std::string expected_code(const Bytes& digest) {
  std::string out;
  char group[5];
  for (int g = 0; g < 12; ++g) {
    std::snprintf(group, sizeof(group), "%02X%02X", digest[2 * g], digest[2 * g + 1]);
    if (g != 0) out += "-";
    out += group;
  }
  return out;
}

std::string safety_code(const Bytes& id_a, const Bytes& key_a, const Bytes& id_b,
                        const Bytes& key_b, const Bytes& hash) {
  char text[60];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(velsecure_safety_code(id_a.data(), key_a.data(), id_b.data(), key_b.data(), hash.data(),
                                  text, nullptr),
            VELSECURE_OK);
  EXPECT_EQ(text[59], '\0');
  return std::string(text);
}

TEST(VelSecureFingerprint, IsBlake2sOfThePublicKey) {
  for (uint8_t seed : {0, 1, 200}) {
    const Bytes key = filled(32, seed);
    uint8_t fingerprint[32];
    ASSERT_EQ(velsecure_public_key_fingerprint(key.data(), fingerprint, nullptr), VELSECURE_OK);
    EXPECT_EQ(Bytes(fingerprint, fingerprint + 32), openssl_blake2s({key}));
  }
  StatusRecord status{};
  uint8_t out[32];
  EXPECT_EQ(velsecure_public_key_fingerprint(nullptr, out, &status), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 19u);
}

// Which pair a safety code must hash first, for pairs built to compare each way.
struct Ordering {
  const char* name;
  Bytes id_a, key_a, id_b, key_b;
  bool a_first;
};

class SafetyCodeOrdering : public ::testing::TestWithParam<Ordering> {};

TEST_P(SafetyCodeOrdering, HashesTheLowerPairFirstAndIsSymmetric) {
  const Ordering& c = GetParam();
  const Bytes hash = filled(32, 9);
  const Bytes& id1 = c.a_first ? c.id_a : c.id_b;
  const Bytes& key1 = c.a_first ? c.key_a : c.key_b;
  const Bytes& id2 = c.a_first ? c.id_b : c.id_a;
  const Bytes& key2 = c.a_first ? c.key_b : c.key_a;
  const std::string expected = expected_code(
      openssl_blake2s({label("Velmorine safety code v1"), id1, key1, id2, key2, hash}));
  EXPECT_EQ(safety_code(c.id_a, c.key_a, c.id_b, c.key_b, hash), expected);
  EXPECT_EQ(safety_code(c.id_b, c.key_b, c.id_a, c.key_a, hash), expected);
}

const Bytes kLowId = Bytes(16, 0x10);
const Bytes kHighId = [] {
  Bytes id(16, 0x10);
  id[15] = 0x80;  // unsigned: 0x80 sorts after 0x10
  return id;
}();
const Bytes kLowKey = Bytes(32, 0x01);
const Bytes kHighKey = [] {
  Bytes key(32, 0x01);
  key[0] = 0xF0;
  return key;
}();

INSTANTIATE_TEST_SUITE_P(
    Table, SafetyCodeOrdering,
    ::testing::Values(Ordering{"lowerIdFirst", kLowId, kHighKey, kHighId, kLowKey, true},
                      Ordering{"higherIdSecond", kHighId, kLowKey, kLowId, kHighKey, false},
                      Ordering{"sameIdLowerKeyFirst", kLowId, kLowKey, kLowId, kHighKey, true},
                      Ordering{"sameIdHigherKeySecond", kLowId, kHighKey, kLowId, kLowKey, false},
                      Ordering{"identicalPairs", kLowId, kLowKey, kLowId, kLowKey, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VelSecureSafetyCode, IsTwelveUpperCaseGroupsAndFollowsTheHandshakeHash) {
  const Bytes hash = filled(32, 3);
  const std::string code = safety_code(kLowId, kLowKey, kHighId, kHighKey, hash);
  ASSERT_EQ(code.size(), 59u);
  for (size_t i = 0; i < code.size(); ++i) {
    if (i % 5 == 4) {
      EXPECT_EQ(code[i], '-') << i;
    } else {
      EXPECT_TRUE(std::isdigit(code[i]) || (code[i] >= 'A' && code[i] <= 'F')) << i;
    }
  }
  Bytes other_hash = hash;
  other_hash[31] ^= 1;
  EXPECT_NE(safety_code(kLowId, kLowKey, kHighId, kHighKey, other_hash), code);
}

TEST(VelSecureSafetyCode, RefusesMissingPointers) {
  const Bytes id(16), key(32);
  char text[60];
  StatusRecord status{};
  EXPECT_EQ(
      velsecure_safety_code(id.data(), key.data(), nullptr, key.data(), key.data(), text, &status),
      VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 19u);
  EXPECT_EQ(velsecure_safety_code(id.data(), key.data(), id.data(), key.data(), key.data(), nullptr,
                                  &status),
            VELSECURE_INVALID_ARGUMENT);
}

TEST(VelSecureSeparateContact, IsAVersion8IdentifierFromTheClaimAndKey) {
  for (uint8_t seed = 0; seed < 16; ++seed) {
    const Bytes claimed = filled(16, seed);
    const Bytes key = filled(32, static_cast<uint8_t>(seed + 100));
    uint8_t uuid[16];
    ASSERT_EQ(velsecure_separate_contact_uuid(claimed.data(), key.data(), uuid, nullptr),
              VELSECURE_OK);
    Bytes expected = openssl_blake2s({label("Velmorine separate contact UUID v1"), claimed, key});
    expected.resize(16);
    expected[6] = static_cast<uint8_t>((expected[6] & 0x0F) | 0x80);
    expected[8] = static_cast<uint8_t>((expected[8] & 0x3F) | 0x80);
    EXPECT_EQ(Bytes(uuid, uuid + 16), expected);
    EXPECT_EQ(uuid[6] >> 4, 8);
    EXPECT_EQ(uuid[8] >> 6, 2);
  }
  uint8_t uuid[16];
  StatusRecord status{};
  EXPECT_EQ(velsecure_separate_contact_uuid(nullptr, kLowKey.data(), uuid, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 19u);
}

TEST(VelSecureSeparateContact, ChangesWithEitherInput) {
  uint8_t base[16], other_key[16], other_id[16];
  velsecure_separate_contact_uuid(kLowId.data(), kLowKey.data(), base, nullptr);
  velsecure_separate_contact_uuid(kLowId.data(), kHighKey.data(), other_key, nullptr);
  velsecure_separate_contact_uuid(kHighId.data(), kLowKey.data(), other_id, nullptr);
  EXPECT_NE(Bytes(base, base + 16), Bytes(other_key, other_key + 16));
  EXPECT_NE(Bytes(base, base + 16), Bytes(other_id, other_id + 16));
}

}  // namespace
}  // namespace velmorine::secure::testing
