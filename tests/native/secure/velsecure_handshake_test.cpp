#include "native/secure/velsecure_handshake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_handshakestate.h"
#include "tests/native/secure/noise/noise_test_support.h"

namespace velmorine::secure::testing {
namespace {

Bytes key_bytes(uint8_t seed) {
  Bytes key(32);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed + i * 13);
  return key;
}

bool all_zero(const Bytes& bytes) {
  return std::ranges::all_of(bytes, [](uint8_t b) { return b == 0; });
}

// Two handshakes, one per side, each with its own scripted context; the ephemeral
// keys come from each side's own fixed stream unless a test queues its own.
class HandshakePair : public ::testing::Test {
 protected:
  void SetUp() override {
    init_ctx_.random.fail_when_empty = false;
    resp_ctx_.random.fail_when_empty = false;
    resp_ctx_.random.stream = 0x2545F4914F6CDD1Dull;
    const auto init_config = handshake_config(VELSECURE_ROLE_INITIATOR, init_keys_, prologue_);
    const auto resp_config = handshake_config(VELSECURE_ROLE_RESPONDER, resp_keys_, prologue_);
    ASSERT_EQ(velsecure_handshake_create(init_ctx_.context, &init_config, &init_, nullptr),
              VELSECURE_OK);
    ASSERT_EQ(velsecure_handshake_create(resp_ctx_.context, &resp_config, &resp_, nullptr),
              VELSECURE_OK);
  }
  void TearDown() override {
    for (auto* t : {init_send_, init_recv_, resp_send_, resp_recv_}) velsecure_transport_destroy(t);
    velsecure_handshake_destroy(init_);
    velsecure_handshake_destroy(resp_);
  }

  // Writes the next message of `from` with `payload`; the message as sent.
  Bytes write(VelSecureHandshake* from, const Bytes& payload = {}) {
    Bytes out(512);
    size_t len = 0;
    EXPECT_EQ(velsecure_handshake_write(from, payload.data(), payload.size(), out.data(),
                                        out.size(), &len, nullptr),
              VELSECURE_OK);
    out.resize(len);
    return out;
  }

  uint32_t read(VelSecureHandshake* to, const Bytes& message, Bytes* payload,
                StatusRecord* status = nullptr) {
    payload->assign(256, 0xEE);
    size_t len = 99;
    const uint32_t code = velsecure_handshake_read(to, message.data(), message.size(),
                                                   payload->data(), payload->size(), &len, status);
    if (code != VELSECURE_OK) {
      EXPECT_EQ(len, 0u);
      return code;
    }
    payload->resize(len);
    return code;
  }

  void run_to_split() {
    Bytes payload;
    ASSERT_EQ(read(resp_, write(init_), &payload), VELSECURE_OK);
    ASSERT_EQ(read(init_, write(resp_), &payload), VELSECURE_OK);
    ASSERT_EQ(read(resp_, write(init_), &payload), VELSECURE_OK);
  }

  ScriptedContext init_ctx_, resp_ctx_;
  KeyPair init_keys_{key_bytes(1)};
  KeyPair resp_keys_{key_bytes(2)};
  Bytes prologue_ = {'p', 'r', 'o'};
  VelSecureHandshake* init_ = nullptr;
  VelSecureHandshake* resp_ = nullptr;
  VelSecureTransport_s* init_send_ = nullptr;
  VelSecureTransport_s* init_recv_ = nullptr;
  VelSecureTransport_s* resp_send_ = nullptr;
  VelSecureTransport_s* resp_recv_ = nullptr;
};

TEST_F(HandshakePair, RunsXXWithEmptyPayloadsAndSplitsIntoMatchingTransports) {
  EXPECT_EQ(velsecure_handshake_action(init_), VELSECURE_HANDSHAKE_WRITE);
  EXPECT_EQ(velsecure_handshake_action(resp_), VELSECURE_HANDSHAKE_READ);
  Bytes payload;
  const Bytes m1 = write(init_);
  EXPECT_EQ(m1.size(), 32u);
  ASSERT_EQ(read(resp_, m1, &payload), VELSECURE_OK);
  EXPECT_TRUE(payload.empty());
  const Bytes m2 = write(resp_);
  EXPECT_EQ(m2.size(), 96u);
  ASSERT_EQ(read(init_, m2, &payload), VELSECURE_OK);
  const Bytes m3 = write(init_);
  EXPECT_EQ(m3.size(), 64u);
  ASSERT_EQ(read(resp_, m3, &payload), VELSECURE_OK);

  uint8_t init_hash[32], resp_hash[32];
  ASSERT_EQ(velsecure_handshake_transcript_hash(init_, init_hash, nullptr), VELSECURE_OK);
  ASSERT_EQ(velsecure_handshake_transcript_hash(resp_, resp_hash, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(init_hash, init_hash + 32), Bytes(resp_hash, resp_hash + 32));

  StatusRecord status{};
  ASSERT_EQ(velsecure_handshake_split(init_, &init_send_, &init_recv_, &status), VELSECURE_OK);
  EXPECT_EQ(status.size, 24u);
  ASSERT_EQ(velsecure_handshake_split(resp_, &resp_send_, &resp_recv_, nullptr), VELSECURE_OK);
  EXPECT_EQ(init_send_->context, init_ctx_.context);
  EXPECT_EQ(init_send_->records_total, 0u);

  // Each direction: sealed by one side's send, opened by the other's receive, also
  // after both ends rekey that direction.
  auto pass = [](VelSecureTransport_s* from, VelSecureTransport_s* to, const Bytes& text) {
    Bytes buffer = text;
    buffer.resize(text.size() + 16);
    size_t len = 0;
    EXPECT_EQ(noise_cipherstate_encrypt_with_ad(from->cipher, nullptr, 0, buffer.data(),
                                                text.size(), buffer.size(), &len),
              0);
    EXPECT_EQ(noise_cipherstate_decrypt_with_ad(to->cipher, nullptr, 0, buffer.data(), len, &len),
              0);
    return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(len));
  };
  EXPECT_EQ(pass(init_send_, resp_recv_, {'a'}), Bytes{'a'});
  EXPECT_EQ(pass(resp_send_, init_recv_, {'b'}), Bytes{'b'});
  noise_cipherstate_rekey(init_send_->cipher);
  noise_cipherstate_rekey(resp_recv_->cipher);
  EXPECT_EQ(pass(init_send_, resp_recv_, {'c'}), Bytes{'c'});
  EXPECT_EQ(velsecure_handshake_action(init_), VELSECURE_HANDSHAKE_COMPLETE);
  // The hash stays readable after the split.
  EXPECT_EQ(velsecure_handshake_transcript_hash(init_, init_hash, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(init_hash, init_hash + 32), Bytes(resp_hash, resp_hash + 32));
}

TEST_F(HandshakePair, LearnsEachOthersStaticKey) {
  uint8_t remote[32];
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_remote_static(init_, remote, &status), VELSECURE_INVALID_STATE);
  EXPECT_EQ(status.operation, 6u);
  run_to_split();
  ASSERT_EQ(velsecure_handshake_remote_static(init_, remote, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(remote, remote + 32), resp_keys_.public_key);
  ASSERT_EQ(velsecure_handshake_remote_static(resp_, remote, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(remote, remote + 32), init_keys_.public_key);
}

TEST_F(HandshakePair, RefusesResultsOutOfOrder) {
  StatusRecord status{};
  uint8_t hash[32] = {1};
  EXPECT_EQ(velsecure_handshake_transcript_hash(init_, hash, &status), VELSECURE_INVALID_STATE);
  EXPECT_EQ(status.operation, 7u);
  EXPECT_EQ(hash[0], 0);  // wiped
  EXPECT_EQ(velsecure_handshake_split(init_, &init_send_, &init_recv_, &status),
            VELSECURE_INVALID_STATE);
  EXPECT_EQ(init_send_, nullptr);
  Bytes payload;
  EXPECT_EQ(read(init_, Bytes(32, 1), &payload, &status), VELSECURE_INVALID_STATE);
  EXPECT_EQ(status.operation, 6u);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_STATE));

  run_to_split();
  VelSecureTransport_s* held = init_send_ = reinterpret_cast<VelSecureTransport_s*>(&status);
  EXPECT_EQ(velsecure_handshake_split(init_, &init_send_, &init_recv_, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(init_send_, held);
  init_send_ = nullptr;
  ASSERT_EQ(velsecure_handshake_split(init_, &init_send_, &init_recv_, nullptr), VELSECURE_OK);
  VelSecureTransport_s* again_send = nullptr;
  VelSecureTransport_s* again_recv = nullptr;
  EXPECT_EQ(velsecure_handshake_split(init_, &again_send, &again_recv, &status),
            VELSECURE_INVALID_STATE);
}

// A bit flipped in transit anywhere in a handshake message: the first message carries
// no tag, so its damage shows when the initiator reads the second.
struct Tamper {
  int message;  // 0, 1 or 2
  int failing_read;
};

class HandshakeTamper : public HandshakePair, public ::testing::WithParamInterface<Tamper> {};

TEST_P(HandshakeTamper, EveryFlippedBitFailsAuthenticationAndReleasesNothing) {
  const Tamper t = GetParam();
  const size_t sizes[] = {32, 96 + 6, 64 + 6};
  for (size_t position = 0; position < sizes[t.message]; position += 5) {
    SCOPED_TRACE("byte " + std::to_string(position));
    TearDown();
    init_ = resp_ = nullptr;
    SetUp();
    const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
    VelSecureHandshake* writers[] = {init_, resp_, init_};
    VelSecureHandshake* readers[] = {resp_, init_, resp_};
    uint32_t code = VELSECURE_OK;
    StatusRecord status{};
    Bytes payload;
    int failed_at = -1;
    for (int m = 0; m < 3 && failed_at < 0; ++m) {
      Bytes message = write(writers[m], m == 0 ? Bytes{} : secret);
      if (m == t.message) message[position] ^= static_cast<uint8_t>(1u << (position % 8));
      code = read(readers[m], message, &payload, &status);
      if (code != VELSECURE_OK) failed_at = m;
    }
    ASSERT_EQ(failed_at, t.failing_read);
    EXPECT_EQ(code, VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(status.operation, 6u);
    EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_MAC_FAILURE));
    EXPECT_TRUE(all_zero(payload));  // the payload area is wiped, not left with plaintext
    EXPECT_EQ(velsecure_handshake_action(readers[failed_at]), VELSECURE_HANDSHAKE_FAILED);
    Bytes out(512);
    size_t len = 0;
    EXPECT_EQ(velsecure_handshake_write(readers[failed_at], nullptr, 0, out.data(), out.size(),
                                        &len, nullptr),
              VELSECURE_INVALID_STATE);
  }
}

INSTANTIATE_TEST_SUITE_P(Messages, HandshakeTamper,
                         ::testing::Values(Tamper{0, 1}, Tamper{1, 1}, Tamper{2, 2}));

TEST_F(HandshakePair, RefusesAnAllZeroEphemeralKey) {
  Bytes payload;
  StatusRecord status{};
  EXPECT_EQ(read(resp_, Bytes(32, 0), &payload, &status), VELSECURE_INVALID_KEY);
  EXPECT_EQ(status.operation, 6u);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_PUBLIC_KEY));

  write(init_);
  Bytes reply(96, 0);
  EXPECT_EQ(read(init_, reply, &payload, &status), VELSECURE_INVALID_KEY);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_PUBLIC_KEY));
}

TEST_F(HandshakePair, RefusesLowOrderPointsThroughTheirZeroSharedSecret) {
  Bytes payload;
  write(init_);
  // u = 1 is a point of order 4 on Curve25519: any scalar multiple is the
  // identity, whose u-coordinate encodes as zero.
  Bytes reply(96, 0);
  reply[0] = 1;
  StatusRecord status{};
  EXPECT_EQ(read(init_, reply, &payload, &status), VELSECURE_INVALID_KEY);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_PUBLIC_KEY));
}

TEST_F(HandshakePair, ReportsWrongLengthsAndOutputLimits) {
  Bytes out(512);
  size_t len = 7;
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_write(init_, nullptr, 0, out.data(), 65536, &len, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 5u);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(velsecure_handshake_write(init_, nullptr, 1, out.data(), out.size(), &len, &status),
            VELSECURE_INVALID_ARGUMENT);
  // Capacity for the key but not the whole message.
  std::fill(out.begin(), out.end(), 0xAB);
  const Bytes payload(10, 1);
  EXPECT_EQ(velsecure_handshake_write(init_, payload.data(), payload.size(), out.data(), 40, &len,
                                      &status),
            VELSECURE_BUFFER_TOO_SMALL);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_LENGTH));
  EXPECT_TRUE(all_zero(Bytes(out.begin(), out.begin() + 40)));
  EXPECT_EQ(velsecure_handshake_action(init_), VELSECURE_HANDSHAKE_FAILED);

  Bytes read_payload;
  EXPECT_EQ(read(resp_, Bytes{}, &read_payload, &status), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(read(resp_, Bytes(65536, 1), &read_payload, &status), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(read(resp_, Bytes(31, 1), &read_payload, &status), VELSECURE_BUFFER_TOO_SMALL);
  EXPECT_EQ(velsecure_handshake_action(resp_), VELSECURE_HANDSHAKE_FAILED);
}

TEST_F(HandshakePair, AFailingRandomCallbackGivesRandomFailed) {
  init_ctx_.random.fail_when_empty = true;
  Bytes out(64, 0xAB);
  size_t len = 0;
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_write(init_, nullptr, 0, out.data(), out.size(), &len, &status),
            VELSECURE_RANDOM_FAILED);
  EXPECT_EQ(status.operation, 5u);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_SYSTEM));
  EXPECT_TRUE(all_zero(out));
  // The scope closed with the call: the thread has no provider installed.
  EXPECT_EQ(velsecure_noise_random_scope_current(), nullptr);
}

TEST_F(HandshakePair, PrologueMismatchFailsTheSecondMessage) {
  ScriptedContext ctx;
  ctx.random.fail_when_empty = false;
  const Bytes other = {'p', 'r', 'x'};
  const auto config = handshake_config(VELSECURE_ROLE_RESPONDER, resp_keys_, other);
  VelSecureHandshake* stranger = nullptr;
  ASSERT_EQ(velsecure_handshake_create(ctx.context, &config, &stranger, nullptr), VELSECURE_OK);
  Bytes payload;
  ASSERT_EQ(read(stranger, write(init_), &payload), VELSECURE_OK);
  EXPECT_EQ(read(init_, write(stranger), &payload), VELSECURE_AUTHENTICATION_FAILED);
  velsecure_handshake_destroy(stranger);
}

struct ConfigCase {
  const char* name;
  std::function<void(VelSecureHandshakeConfig&)> spoil;
};

class RefusedHandshakeConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(RefusedHandshakeConfig, GivesInvalidArgumentWithOperation4) {
  ScriptedContext ctx;
  const KeyPair keys(key_bytes(3));
  const Bytes prologue = {1};
  auto config = handshake_config(VELSECURE_ROLE_INITIATOR, keys, prologue);
  GetParam().spoil(config);
  VelSecureHandshake* handshake = nullptr;
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_create(ctx.context, &config, &handshake, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, 4u);
  EXPECT_EQ(handshake, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedHandshakeConfig,
    ::testing::Values(ConfigCase{"size71", [](auto& c) { c.size = 71; }},
                      ConfigCase{"version2", [](auto& c) { c.version = 2; }},
                      ConfigCase{"role0", [](auto& c) { c.role = 0; }},
                      ConfigCase{"role3", [](auto& c) { c.role = 3; }},
                      ConfigCase{"prologueMissing", [](auto& c) { c.prologue = nullptr; }},
                      ConfigCase{"prologueTooLong", [](auto& c) { c.prologue_length = 65536; }},
                      ConfigCase{"viewSize39", [](auto& c) { c.identity.size = 39; }},
                      ConfigCase{"privateMissing",
                                 [](auto& c) { c.identity.private_key = nullptr; }},
                      ConfigCase{"private31", [](auto& c) { c.identity.private_key_length = 31; }},
                      ConfigCase{"public33", [](auto& c) { c.identity.public_key_length = 33; }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VelSecureHandshakeCreate, RefusesAMismatchedKeyPairAndAHeldHandle) {
  ScriptedContext ctx;
  KeyPair keys(key_bytes(4));
  keys.public_key[5] ^= 1;
  auto config = handshake_config(VELSECURE_ROLE_RESPONDER, keys, {});
  VelSecureHandshake* handshake = nullptr;
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_create(ctx.context, &config, &handshake, &status),
            VELSECURE_INVALID_KEY);
  EXPECT_EQ(status.operation, 4u);
  EXPECT_EQ(status.detail, static_cast<uint32_t>(NOISE_ERROR_INVALID_PUBLIC_KEY));
  EXPECT_EQ(handshake, nullptr);

  keys.public_key[5] ^= 1;
  config = handshake_config(VELSECURE_ROLE_RESPONDER, keys, {});
  ASSERT_EQ(velsecure_handshake_create(ctx.context, &config, &handshake, nullptr), VELSECURE_OK);
  VelSecureHandshake* held = handshake;
  EXPECT_EQ(velsecure_handshake_create(ctx.context, &config, &handshake, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(handshake, held);
  EXPECT_EQ(velsecure_handshake_create(nullptr, &config, &held, &status),
            VELSECURE_INVALID_ARGUMENT);
  velsecure_handshake_destroy(handshake);
  velsecure_handshake_destroy(nullptr);
  EXPECT_EQ(velsecure_handshake_action(nullptr), VELSECURE_HANDSHAKE_FAILED);
}

TEST(NoiseHandshakeStateByName, OnlyTheCarriedBackendsAndKnownPatternsRun) {
  struct Case {
    const char* name;
    int error;
  } cases[] = {
      {"Noise_XX_25519_ChaChaPoly_BLAKE2s", NOISE_ERROR_NONE},
      {"Noise_XX_448_ChaChaPoly_BLAKE2s", NOISE_ERROR_NO_MEMORY},
      {"Noise_XX_25519_AESGCM_BLAKE2s", NOISE_ERROR_NO_MEMORY},
      {"Noise_XX_25519_ChaChaPoly_SHA256", NOISE_ERROR_NO_MEMORY},
      {"Noise_QQ_25519_ChaChaPoly_BLAKE2s", NOISE_ERROR_UNKNOWN_NAME},
      {"Noise_XX_25519_ChaChaPoly", NOISE_ERROR_UNKNOWN_NAME},
  };
  for (const Case& c : cases) {
    NoiseHandshakeState* state = nullptr;
    EXPECT_EQ(noise_handshakestate_new_by_name(&state, c.name, NOISE_ROLE_INITIATOR), c.error)
        << c.name;
    EXPECT_EQ(state != nullptr, c.error == NOISE_ERROR_NONE) << c.name;
    if (state != nullptr) {
      EXPECT_EQ(noise_handshakestate_start(state), NOISE_ERROR_LOCAL_KEY_REQUIRED);
      noise_handshakestate_free(state);
    }
  }
}

TEST(NoiseHandshakeState, StartsOnlyOnce) {
  NoiseHandshakeState* state = nullptr;
  ASSERT_EQ(noise_handshakestate_new_by_name(&state, "Noise_NN_25519_ChaChaPoly_BLAKE2s",
                                             NOISE_ROLE_RESPONDER),
            NOISE_ERROR_NONE);
  EXPECT_EQ(noise_handshakestate_start(state), NOISE_ERROR_NONE);
  EXPECT_EQ(noise_handshakestate_get_action(state), NOISE_ACTION_READ_MESSAGE);
  EXPECT_EQ(noise_handshakestate_start(state), NOISE_ERROR_INVALID_STATE);
  EXPECT_EQ(noise_handshakestate_set_prologue(state, "x", 1), NOISE_ERROR_INVALID_STATE);
  noise_handshakestate_free(state);
}

}  // namespace
}  // namespace velmorine::secure::testing
