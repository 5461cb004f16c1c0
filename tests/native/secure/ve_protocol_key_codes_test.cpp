#include <gtest/gtest.h>

#include <string>

#include "native/protocol/ve_protocol.h"
#include "native/secure/velsecure_key_codes.h"
#include "tests/native/secure/noise/noise_test_support.h"

namespace velmorine::secure::testing {
namespace {

const std::string kLocal = "6f1c2b9e-8d4a-4c3b-9a2e-1f0d3c5b7a91";
const std::string kRemote = "0a9b8c7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d";

Bytes key(uint8_t seed) { return Bytes(32, seed); }

TEST(VEProtocolFingerprint, PrintsTheVelsecureFingerprintInLowerCaseHex) {
  const Bytes pub = {0x00, 0xFF, 0x10, 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  uint8_t digest[32];
  ASSERT_EQ(velsecure_public_key_fingerprint(pub.data(), digest, nullptr), VELSECURE_OK);
  const std::optional<std::string> text = VEProtocol::fingerprint(pub);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, to_hex(digest, 32));
}

TEST(VEProtocolSafetyCode, IsTheSameFromBothEndsAndAcceptsEitherCase) {
  const Bytes transcript = key(7);
  const auto local_view =
      VEProtocol::safetyCodeWithLocalID(kLocal, key(1), kRemote, key(2), transcript);
  const auto remote_view =
      VEProtocol::safetyCodeWithLocalID(kRemote, key(2), kLocal, key(1), transcript);
  ASSERT_TRUE(local_view.has_value());
  EXPECT_EQ(local_view->size(), 59u);
  EXPECT_EQ(local_view, remote_view);
  std::string upper = kLocal;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(VEProtocol::safetyCodeWithLocalID(upper, key(1), kRemote, key(2), transcript),
            local_view);
}

TEST(VEProtocolSeparateContact, ShowsVersion8AndVariantInItsText) {
  for (uint8_t seed = 0; seed < 8; ++seed) {
    const std::optional<std::string> id =
        VEProtocol::separateContactWithClaimedID(kRemote, key(seed));
    ASSERT_TRUE(id.has_value());
    ASSERT_EQ(id->size(), 36u);
    EXPECT_EQ((*id)[14], '8');
    EXPECT_NE(std::string("89ab").find((*id)[19]), std::string::npos) << *id;
    EXPECT_EQ(*id, core::Uuid::parse(*id)->to_string());  // lower case
  }
}

// Every class method turns a malformed argument into nothing.
TEST(VEProtocolKeyCodes, RefuseWrongLengthsAndIdentifiers) {
  for (size_t length : {0, 31, 33}) {
    const Bytes bad(length, 1);
    EXPECT_FALSE(VEProtocol::fingerprint(bad).has_value()) << length;
    EXPECT_FALSE(VEProtocol::separateContactWithClaimedID(kRemote, bad).has_value()) << length;
    EXPECT_FALSE(VEProtocol::safetyCodeWithLocalID(kLocal, bad, kRemote, key(2), key(3)));
    EXPECT_FALSE(VEProtocol::safetyCodeWithLocalID(kLocal, key(1), kRemote, bad, key(3)));
    EXPECT_FALSE(VEProtocol::safetyCodeWithLocalID(kLocal, key(1), kRemote, key(2), bad));
  }
  for (const char* id : {"", "not-an-identifier", "6f1c2b9e8d4a4c3b9a2e1f0d3c5b7a91",
                         "6f1c2b9e-8d4a-4c3b-9a2e-1f0d3c5b7a9g"}) {
    EXPECT_FALSE(VEProtocol::separateContactWithClaimedID(id, key(1)).has_value()) << id;
    EXPECT_FALSE(VEProtocol::safetyCodeWithLocalID(id, key(1), kRemote, key(2), key(3))) << id;
    EXPECT_FALSE(VEProtocol::safetyCodeWithLocalID(kLocal, key(1), id, key(2), key(3))) << id;
  }
}

}  // namespace
}  // namespace velmorine::secure::testing
