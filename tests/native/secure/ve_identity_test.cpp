#include "native/secure/ve_identity.h"

#include <gtest/gtest.h>

#include "tests/native/secure/openssl_reference.h"

namespace velmorine {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const char* text) {
  Bytes bytes;
  for (size_t i = 0; text[i] && text[i + 1]; i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string to_hex(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

TEST(VEIdentity, RestoresTheKeyPairOfAStoredSecret) {
  // RFC 7748 section 6.1, Alice.
  const Bytes secret = from_hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  auto identity = VEIdentity::withSecret(secret);
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ((*identity)->publicKey(),
            from_hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  EXPECT_EQ((*identity)->fingerprint(),
            to_hex(secure::testing::openssl_blake2s({(*identity)->publicKey()})));
  EXPECT_EQ((*identity)->keychainSecret(), secret);

  const VelSecureIdentityView_s view = (*identity)->identityView();
  EXPECT_EQ(view.size, 40u);
  EXPECT_EQ(view.private_key_length, 32u);
  EXPECT_EQ(view.public_key_length, 32u);
  EXPECT_EQ(Bytes(view.private_key, view.private_key + 32), secret);
  EXPECT_EQ(Bytes(view.public_key, view.public_key + 32), (*identity)->publicKey());
}

TEST(VEIdentity, SecretOfAnyOtherLengthIsAnInvalidKey) {
  for (size_t length : {0, 31, 33, 64}) {
    auto identity = VEIdentity::withSecret(Bytes(length, 1));
    ASSERT_FALSE(identity.has_value());
    EXPECT_EQ(identity.error(), (VEError{"org.velmorine.Velmorine.secure", 6, "invalid_key"}));
  }
}

TEST(VEIdentity, GeneratedIdentitiesAreFreshAndRestorable) {
  auto first = VEIdentity::generate();
  auto second = VEIdentity::generate();
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE((*first)->publicKey(), (*second)->publicKey());
  EXPECT_EQ((*first)->publicKey(),
            secure::testing::openssl_x25519_public((*first)->keychainSecret()));
  auto restored = VEIdentity::withSecret((*first)->keychainSecret());
  ASSERT_TRUE(restored.has_value());
  EXPECT_EQ((*restored)->publicKey(), (*first)->publicKey());
  EXPECT_EQ((*restored)->fingerprint(), (*first)->fingerprint());
  EXPECT_EQ((*first)->fingerprint().size(), 64u);
}

}  // namespace
}  // namespace velmorine
