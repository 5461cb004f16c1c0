#include "native/secure/noise/noise_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_fingerprint.h"
#include "native/secure/noise/noise_patterns.h"
#include "native/secure/noise/noise_util.h"

namespace {

int parse(const std::string& name, NoiseProtocolId* id) {
  return noise_protocol_name_to_id(id, name.data(), name.size());
}

TEST(NoiseProtocolName, ParsesAndFormatsTheChannelProtocol) {
  NoiseProtocolId id{};
  ASSERT_EQ(parse("Noise_XX_25519_ChaChaPoly_BLAKE2s", &id), NOISE_ERROR_NONE);
  EXPECT_EQ(id.prefix_id, 0x4E01);
  EXPECT_EQ(id.pattern_id, 0x5009);
  EXPECT_EQ(id.dh_id, 0x4401);
  EXPECT_EQ(id.cipher_id, 0x4301);
  EXPECT_EQ(id.hash_id, 0x4801);
  EXPECT_EQ(id.hybrid_id, 0);
  char name[64];
  ASSERT_EQ(noise_protocol_id_to_name(name, sizeof(name), &id), NOISE_ERROR_NONE);
  EXPECT_STREQ(name, "Noise_XX_25519_ChaChaPoly_BLAKE2s");
  // 33 characters and the terminator: one byte less does not fit.
  EXPECT_EQ(noise_protocol_id_to_name(name, 33, &id), NOISE_ERROR_INVALID_LENGTH);
  EXPECT_STREQ(name, "");
}

TEST(NoiseProtocolName, RoundTripsAHybridName) {
  NoiseProtocolId id{};
  ASSERT_EQ(parse("NoisePSK_XXhfs_25519+NewHope_AESGCM_SHA512", &id), NOISE_ERROR_NONE);
  EXPECT_EQ(id.prefix_id, 0x4E02);
  EXPECT_EQ(id.pattern_id, 0x5035);
  EXPECT_EQ(id.hybrid_id, 0x4403);
  char name[64];
  ASSERT_EQ(noise_protocol_id_to_name(name, sizeof(name), &id), NOISE_ERROR_NONE);
  EXPECT_STREQ(name, "NoisePSK_XXhfs_25519+NewHope_AESGCM_SHA512");
  id.hash_id = 0x4899;
  EXPECT_EQ(noise_protocol_id_to_name(name, sizeof(name), &id), NOISE_ERROR_UNKNOWN_ID);
}

class RefusedProtocolName : public testing::TestWithParam<const char*> {};

TEST_P(RefusedProtocolName, GivesUnknownNameAndZeroesTheId) {
  NoiseProtocolId id{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(parse(GetParam(), &id), NOISE_ERROR_UNKNOWN_NAME);
  EXPECT_EQ(id.prefix_id | id.pattern_id | id.dh_id | id.cipher_id | id.hash_id | id.hybrid_id, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedProtocolName,
                         testing::Values("Noise_XX_25519_ChaChaPoly",            // no hash
                                         "Noise_XX_25519_ChaChaPoly_BLAKE2s_X",  // extra part
                                         "Noise_XX_25519_ChaChaPoly_BLAKE2s_",   // empty extra
                                         "Noise_ZZ_25519_ChaChaPoly_BLAKE2s",    // pattern
                                         "Noise_XX_BLAKE2s_ChaChaPoly_BLAKE2s",  // wrong category
                                         "Noise_XX_25519+_ChaChaPoly_BLAKE2s",   // empty hybrid
                                         "noise_XX_25519_ChaChaPoly_BLAKE2s",    // case
                                         ""));

TEST(NoiseNameTable, LooksUpWithinCategory) {
  EXPECT_EQ(noise_name_to_id(0x44, "XX", 2), 0);  // a bare byte is not a category
  EXPECT_EQ(noise_name_to_id(NOISE_CATEGORY_DH, "XX", 2), 0);
  EXPECT_EQ(noise_name_to_id(NOISE_CATEGORY_PATTERN, "XX", 2), 0x5009);
  EXPECT_EQ(noise_name_to_id(0, "XX", 2), 0x5009);
  EXPECT_EQ(noise_name_to_id(0, "XXfallback+hfs", 14), 0x503C);
  EXPECT_EQ(noise_name_to_id(0, "XXf", 3), 0);
  EXPECT_STREQ(noise_id_to_name(0, 0x5301), "Ed25519");
  EXPECT_STREQ(noise_id_to_name(NOISE_CATEGORY_HASH, 0x4801), "BLAKE2s");
  EXPECT_EQ(noise_id_to_name(NOISE_CATEGORY_CIPHER, 0x4801), nullptr);
  EXPECT_EQ(noise_id_to_name(0, 0), nullptr);
  EXPECT_EQ(noise_id_to_name(0, 0x5011), nullptr);
}

TEST(NoisePatternTable, HoldsXXAndLeavesGapsEmpty) {
  const uint8_t* xx = noise_pattern_lookup(0x5009);
  ASSERT_NE(xx, nullptr);
  const uint8_t expected[] = {0x03, 0x03, 2, 255, 2, 3, 1, 4, 255, 1, 5, 0};
  EXPECT_EQ(std::memcmp(xx, expected, sizeof(expected)), 0);
  EXPECT_EQ(noise_pattern_lookup(0x5011), nullptr);
  EXPECT_EQ(noise_pattern_lookup(0x5000), nullptr);
  EXPECT_EQ(noise_pattern_lookup(0x5055), nullptr);
  EXPECT_EQ(noise_pattern_reverse_flags(0x0507), 0x0705);
}

TEST(NoiseUtil, NewObjectRecordsItsSizeZeroFilled) {
  auto* words = static_cast<size_t*>(noise_new_object(4 * sizeof(size_t)));
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(words[0], 4 * sizeof(size_t));
  EXPECT_EQ(words[1] | words[2] | words[3], 0u);
  noise_free(words, 4 * sizeof(size_t));
  noise_free(nullptr, 8);
}

TEST(NoiseUtil, ComparesWithoutEarlyExit) {
  const uint8_t a[4] = {1, 2, 3, 4};
  const uint8_t b[4] = {1, 2, 3, 5};
  const uint8_t zeros[4] = {};
  EXPECT_EQ(noise_is_equal(a, a, 4), 1);
  EXPECT_EQ(noise_is_equal(a, b, 4), 0);
  EXPECT_EQ(noise_is_equal(a, b, 0), 1);
  EXPECT_EQ(noise_is_zero(zeros, 4), 1);
  EXPECT_EQ(noise_is_zero(b, 4), 0);
}

TEST(NoiseFingerprint, PrintsSha256PairsJoinedByColons) {
  // SHA-256("abc") = ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad.
  const uint8_t key[3] = {'a', 'b', 'c'};
  char basic[48];
  ASSERT_EQ(noise_format_fingerprint(NOISE_FINGERPRINT_BASIC, basic, sizeof(basic), key, 3), 0);
  EXPECT_STREQ(basic, "ba:78:16:bf:8f:01:cf:ea:41:41:40:de:5d:ae:22:23");
  char full[96];
  ASSERT_EQ(noise_format_fingerprint(NOISE_FINGERPRINT_FULL, full, sizeof(full), key, 3), 0);
  EXPECT_EQ(std::strlen(full), 95u);
  EXPECT_EQ(std::string(full).substr(48), "b0:03:61:a3:96:17:7a:9c:b4:10:ff:61:f2:00:15:ad");
  EXPECT_EQ(noise_format_fingerprint(NOISE_FINGERPRINT_FULL, full, 95, key, 3),
            NOISE_ERROR_INVALID_LENGTH);
  EXPECT_EQ(full[0], '\0');
  EXPECT_EQ(noise_format_fingerprint(0x4603, full, sizeof(full), key, 3),
            NOISE_ERROR_INVALID_PARAM);
}

}  // namespace
