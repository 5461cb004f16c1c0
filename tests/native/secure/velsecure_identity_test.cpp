#include "native/secure/velsecure_identity.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "native/secure/noise/noise_errors.h"
#include "tests/native/secure/noise/noise_test_support.h"
#include "tests/native/secure/openssl_reference.h"

namespace velmorine::secure::testing {
namespace {

bool all_zero(const uint8_t* data, size_t len) {
  return std::all_of(data, data + len, [](uint8_t b) { return b == 0; });
}

TEST(VelSecureIdentity, GeneratesAClampedKeyFromTheContextsRandomness) {
  ScriptedContext ctx;
  Bytes drawn(32, 0xFF);
  drawn[0] = 0x07;
  ctx.random.push(drawn);
  uint8_t priv[32], pub[32];
  ASSERT_EQ(velsecure_identity_generate(ctx.context, priv, pub, nullptr), VELSECURE_OK);
  EXPECT_EQ(ctx.random.calls, 1);
  Bytes clamped = drawn;
  clamped[0] &= 248;
  clamped[31] = static_cast<uint8_t>((clamped[31] & 63) | 64);
  EXPECT_EQ(Bytes(priv, priv + 32), clamped);
  EXPECT_EQ(Bytes(pub, pub + 32), openssl_x25519_public(clamped));
}

TEST(VelSecureIdentity, DerivesPublicKeysLikeOpenSsl) {
  ScriptedContext ctx;
  ctx.random.fail_when_empty = false;
  for (int i = 0; i < 16; ++i) {
    Bytes priv(32);
    ASSERT_EQ(velsecure_context_random(ctx.context, priv.data(), 32, nullptr), VELSECURE_OK);
    uint8_t pub[32];
    ASSERT_EQ(velsecure_identity_public_from_private(ctx.context, priv.data(), pub, nullptr),
              VELSECURE_OK);
    // Unclamped input too: X25519 clamps the scalar itself.
    EXPECT_EQ(Bytes(pub, pub + 32), openssl_x25519_public(priv));
  }
}

TEST(VelSecureIdentity, AFailingRandomCallbackLeavesNoKeyBehind) {
  ScriptedContext ctx;  // nothing queued: the callback fails
  uint8_t priv[32], pub[32];
  std::fill_n(priv, 32, 0xAA);
  std::fill_n(pub, 32, 0xBB);
  StatusRecord status{};
  EXPECT_EQ(velsecure_identity_generate(ctx.context, priv, pub, &status), VELSECURE_RANDOM_FAILED);
  EXPECT_EQ(status.operation, 3u);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_SYSTEM));
  EXPECT_TRUE(all_zero(priv, 32));
  EXPECT_TRUE(all_zero(pub, 32));
}

TEST(VelSecureIdentity, RefusesMissingPointers) {
  ScriptedContext ctx;
  uint8_t a[32] = {}, b[32] = {};
  StatusRecord status{};
  EXPECT_EQ(velsecure_identity_generate(nullptr, a, b, &status), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 3u);
  EXPECT_EQ(velsecure_identity_generate(ctx.context, nullptr, b, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_identity_generate(ctx.context, a, nullptr, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_identity_public_from_private(ctx.context, nullptr, b, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_identity_public_from_private(ctx.context, a, nullptr, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_identity_public_from_private(nullptr, a, b, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 3u);
  EXPECT_EQ(ctx.random.calls, 0);
}

}  // namespace
}  // namespace velmorine::secure::testing
