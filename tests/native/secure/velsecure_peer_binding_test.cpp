#include "native/secure/velsecure_peer_binding.h"

#include <gtest/gtest.h>

#include "native/secure/velsecure_key_codes.h"
#include "tests/native/secure/noise/noise_test_support.h"

namespace velmorine::secure::testing {
namespace {

class PeerBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    velsecure_public_key_fingerprint(key_.data(), fingerprint_.data(), nullptr);
    ASSERT_EQ(velsecure_peer_binding_create(ctx_.context, id_.data(), fingerprint_.data(),
                                            key_.data(), 1, &binding_, nullptr),
              VELSECURE_OK);
  }
  void TearDown() override { velsecure_peer_binding_destroy(binding_); }

  ScriptedContext ctx_;
  Bytes id_ = Bytes(16, 0x42);
  Bytes key_ = Bytes(32, 0x17);
  Bytes fingerprint_ = Bytes(32);
  VelSecurePeerBinding* binding_ = nullptr;
};

TEST_F(PeerBinding, ProvesThenAcceptsAndHandsOutTheKey) {
  uint8_t out[32] = {1};
  EXPECT_EQ(velsecure_peer_binding_remote_static(binding_, out, nullptr), VELSECURE_INVALID_STATE);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(velsecure_peer_binding_accept_hello(binding_, id_.data(), key_.data(), 1, nullptr),
            VELSECURE_INVALID_STATE);
  ASSERT_EQ(velsecure_peer_binding_prove_handshake(binding_, key_.data(), nullptr), VELSECURE_OK);
  EXPECT_EQ(velsecure_peer_binding_prove_handshake(binding_, key_.data(), nullptr),
            VELSECURE_INVALID_STATE);
  EXPECT_FALSE(velsecure_peer_binding_ready(binding_));
  ASSERT_EQ(velsecure_peer_binding_accept_hello(binding_, id_.data(), key_.data(), 1, nullptr),
            VELSECURE_OK);
  EXPECT_TRUE(velsecure_peer_binding_ready(binding_));
  ASSERT_EQ(velsecure_peer_binding_remote_static(binding_, out, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(out, out + 32), key_);
}

TEST_F(PeerBinding, AnotherKeyFailsTheProofForGood) {
  const Bytes other(32, 0x18);
  StatusRecord status{};
  EXPECT_EQ(velsecure_peer_binding_prove_handshake(binding_, other.data(), &status),
            VELSECURE_IDENTITY_MISMATCH);
  EXPECT_EQ(status.operation, 24u);
  EXPECT_EQ(status.detail, 1u);
  EXPECT_EQ(velsecure_peer_binding_prove_handshake(binding_, key_.data(), &status),
            VELSECURE_INVALID_STATE);
}

struct HelloCase {
  const char* name;
  uint8_t id_byte;
  uint8_t key_byte;
  uint32_t purpose;
  uint32_t detail;
};

class PeerBindingHello : public PeerBinding, public ::testing::WithParamInterface<HelloCase> {};

TEST_P(PeerBindingHello, TheFirstDifferenceFailsTheBinding) {
  const HelloCase& c = GetParam();
  ASSERT_EQ(velsecure_peer_binding_prove_handshake(binding_, key_.data(), nullptr), VELSECURE_OK);
  const Bytes id(16, c.id_byte), key(32, c.key_byte);
  StatusRecord status{};
  EXPECT_EQ(
      velsecure_peer_binding_accept_hello(binding_, id.data(), key.data(), c.purpose, &status),
      VELSECURE_IDENTITY_MISMATCH);
  EXPECT_EQ(status.operation, 24u);
  EXPECT_EQ(status.detail, c.detail);
  EXPECT_FALSE(velsecure_peer_binding_ready(binding_));
  EXPECT_EQ(velsecure_peer_binding_accept_hello(binding_, id_.data(), key_.data(), 1, &status),
            VELSECURE_INVALID_STATE);
}

INSTANTIATE_TEST_SUITE_P(Table, PeerBindingHello,
                         ::testing::Values(HelloCase{"id", 0x43, 0x18, 2, 2},
                                           HelloCase{"key", 0x42, 0x18, 2, 3},
                                           HelloCase{"purpose", 0x42, 0x17, 2, 4}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(PeerBindingCreate, RefusesBadPurposeAndHeldHandle) {
  ScriptedContext ctx;
  const Bytes id(16), fp(32), key(32);
  VelSecurePeerBinding* binding = nullptr;
  StatusRecord status{};
  for (uint32_t purpose : {0u, 3u}) {
    EXPECT_EQ(velsecure_peer_binding_create(ctx.context, id.data(), fp.data(), key.data(), purpose,
                                            &binding, &status),
              VELSECURE_INVALID_ARGUMENT);
    EXPECT_EQ(status.operation, 24u);
  }
  ASSERT_EQ(velsecure_peer_binding_create(ctx.context, id.data(), fp.data(), key.data(), 2,
                                          &binding, nullptr),
            VELSECURE_OK);
  VelSecurePeerBinding* held = binding;
  EXPECT_EQ(velsecure_peer_binding_create(ctx.context, id.data(), fp.data(), key.data(), 2,
                                          &binding, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(binding, held);
  velsecure_peer_binding_destroy(binding);
  velsecure_peer_binding_destroy(nullptr);
}

}  // namespace
}  // namespace velmorine::secure::testing
