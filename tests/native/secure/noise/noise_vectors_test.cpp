// The published Noise_XX_25519_ChaChaPoly_BLAKE2s vectors of three independent
// collections, run through the channel's handshake wrappers with the ephemeral keys
// injected through each side's random callback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/velsecure_handshake.h"
#include "tests/native/secure/noise/noise_test_support.h"

namespace velmorine::secure::testing {
namespace {

// The vectors file inside the repository (tests/testdata), as the build points at it.
std::string vectors_path() {
  const char* dir = std::getenv("VELMORINE_TESTDATA_DIR");
  return std::string(dir != nullptr ? dir : "(VELMORINE_TESTDATA_DIR unset)") +
         "/noise/xx_25519_chachapoly_blake2s.json";
}

nlohmann::json load_vectors() {
  std::ifstream in(vectors_path());
  if (!in) return {};
  return nlohmann::json::parse(in)["vectors"];
}

class NoiseVector : public ::testing::TestWithParam<size_t> {};

TEST_P(NoiseVector, HandshakeAndTransportMatchCiphertexts) {
  const nlohmann::json vectors = load_vectors();
  ASSERT_GT(vectors.size(), GetParam()) << "no vectors read from " << vectors_path();
  const nlohmann::json& v = vectors[GetParam()];
  const std::string name = v.contains("protocol_name") ? v["protocol_name"] : v["name"];
  ASSERT_EQ(name, "Noise_XX_25519_ChaChaPoly_BLAKE2s");

  ScriptedContext init_ctx, resp_ctx;
  init_ctx.random.push(from_hex(v["init_ephemeral"]));
  resp_ctx.random.push(from_hex(v["resp_ephemeral"]));
  const KeyPair init_keys(from_hex(v["init_static"]));
  const KeyPair resp_keys(from_hex(v["resp_static"]));
  const Bytes init_prologue = from_hex(v["init_prologue"]);
  const Bytes resp_prologue = from_hex(v["resp_prologue"]);
  const auto init_config = handshake_config(VELSECURE_ROLE_INITIATOR, init_keys, init_prologue);
  const auto resp_config = handshake_config(VELSECURE_ROLE_RESPONDER, resp_keys, resp_prologue);

  VelSecureHandshake* init = nullptr;
  VelSecureHandshake* resp = nullptr;
  ASSERT_EQ(velsecure_handshake_create(init_ctx.context, &init_config, &init, nullptr),
            VELSECURE_OK);
  ASSERT_EQ(velsecure_handshake_create(resp_ctx.context, &resp_config, &resp, nullptr),
            VELSECURE_OK);

  VelSecureTransport_s* sends[2] = {};     // [initiator, responder]
  VelSecureTransport_s* receives[2] = {};  // [initiator, responder]
  const nlohmann::json& messages = v["messages"];
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    const Bytes payload = from_hex(messages[i]["payload"]);
    const Bytes expected = from_hex(messages[i]["ciphertext"]);
    const bool from_initiator = i % 2 == 0;
    VelSecureHandshake* writer = from_initiator ? init : resp;
    VelSecureHandshake* reader = from_initiator ? resp : init;
    Bytes wire(payload.size() + 200);
    Bytes opened(wire.size());
    size_t wire_len = 0, opened_len = 0;
    if (i < 3) {
      ASSERT_EQ(velsecure_handshake_write(writer, payload.data(), payload.size(), wire.data(),
                                          wire.size(), &wire_len, nullptr),
                VELSECURE_OK);
      wire.resize(wire_len);
      EXPECT_EQ(to_hex(wire), to_hex(expected));
      ASSERT_EQ(velsecure_handshake_read(reader, wire.data(), wire.size(), opened.data(),
                                         opened.size(), &opened_len, nullptr),
                VELSECURE_OK);
      opened.resize(opened_len);
      EXPECT_EQ(opened, payload);
      if (i == 2) {
        ASSERT_EQ(velsecure_handshake_action(init), VELSECURE_HANDSHAKE_SPLIT);
        ASSERT_EQ(velsecure_handshake_action(resp), VELSECURE_HANDSHAKE_SPLIT);
        uint8_t init_hash[32], resp_hash[32];
        ASSERT_EQ(velsecure_handshake_transcript_hash(init, init_hash, nullptr), VELSECURE_OK);
        ASSERT_EQ(velsecure_handshake_transcript_hash(resp, resp_hash, nullptr), VELSECURE_OK);
        EXPECT_EQ(to_hex(init_hash, 32), to_hex(resp_hash, 32));
        if (v.contains("handshake_hash")) {
          EXPECT_EQ(to_hex(init_hash, 32), v["handshake_hash"].get<std::string>());
        }
        uint8_t remote[32];
        ASSERT_EQ(velsecure_handshake_remote_static(init, remote, nullptr), VELSECURE_OK);
        EXPECT_EQ(Bytes(remote, remote + 32), resp_keys.public_key);
        ASSERT_EQ(velsecure_handshake_remote_static(resp, remote, nullptr), VELSECURE_OK);
        EXPECT_EQ(Bytes(remote, remote + 32), init_keys.public_key);
        ASSERT_EQ(velsecure_handshake_split(init, &sends[0], &receives[0], nullptr), VELSECURE_OK);
        ASSERT_EQ(velsecure_handshake_split(resp, &sends[1], &receives[1], nullptr), VELSECURE_OK);
        EXPECT_EQ(velsecure_handshake_action(init), VELSECURE_HANDSHAKE_COMPLETE);
      }
    } else {
      NoiseCipherState* sender = sends[from_initiator ? 0 : 1]->cipher;
      NoiseCipherState* receiver = receives[from_initiator ? 1 : 0]->cipher;
      std::copy(payload.begin(), payload.end(), wire.begin());
      ASSERT_EQ(noise_cipherstate_encrypt_with_ad(sender, nullptr, 0, wire.data(), payload.size(),
                                                  wire.size(), &wire_len),
                0);
      wire.resize(wire_len);
      EXPECT_EQ(to_hex(wire), to_hex(expected));
      ASSERT_EQ(noise_cipherstate_decrypt_with_ad(receiver, nullptr, 0, wire.data(), wire.size(),
                                                  &opened_len),
                0);
      EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(opened_len)), payload);
    }
  }
  // Each side drew exactly its one 32-byte ephemeral key.
  EXPECT_TRUE(init_ctx.random.queued.empty());
  EXPECT_TRUE(resp_ctx.random.queued.empty());
  for (auto* t : {sends[0], sends[1], receives[0], receives[1]}) velsecure_transport_destroy(t);
  velsecure_handshake_destroy(init);
  velsecure_handshake_destroy(resp);
}

INSTANTIATE_TEST_SUITE_P(Collections, NoiseVector, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace velmorine::secure::testing
