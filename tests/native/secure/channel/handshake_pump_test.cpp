#include "native/secure/channel/handshake_pump.h"

#include <gtest/gtest.h>

#include "native/secure/channel/record.h"
#include "tests/native/secure/channel/channel_fixtures.h"

namespace {

using namespace velsecure_test;

class HandshakePump : public testing::Test {
 protected:
  TestContext initiator_context_{11};
  TestContext responder_context_{22};
  KeyPair initiator_keys_ = key_pair(1);
  KeyPair responder_keys_ = key_pair(2);

  Pump initiator(uint64_t now_ms = 0) {
    return make_pump(initiator_context_.get(), 1, 1, initiator_keys_, now_ms);
  }
  Pump responder(uint64_t now_ms = 0, uint32_t purpose = 1) {
    return make_pump(responder_context_.get(), 2, purpose, responder_keys_, now_ms);
  }
};

TEST_F(HandshakePump, CompletesOverEveryChunkingAndAgreesOnKeysAndHash) {
  for (size_t chunk : {1, 2, 3, 5, 15, 16, 17, 33, 34, 35, 97, 4096}) {
    SCOPED_TRACE(chunk);
    Pump a = initiator();
    Pump b = responder();
    run_handshake(a.get(), b.get(), chunk);
    EstablishedPair pair;
    ASSERT_EQ(take_result(a.get(), pair.initiator_send, pair.initiator_receive,
                          pair.initiator_remote, pair.initiator_hash),
              VELSECURE_OK);
    ASSERT_EQ(take_result(b.get(), pair.responder_send, pair.responder_receive,
                          pair.responder_remote, pair.responder_hash),
              VELSECURE_OK);
    EXPECT_EQ(pair.initiator_remote, responder_keys_.public_key);
    EXPECT_EQ(pair.responder_remote, initiator_keys_.public_key);
    EXPECT_EQ(pair.initiator_hash, pair.responder_hash);

    // The split keys pair up: what one side seals the other opens.
    const uint8_t text[] = "hello";
    Bytes record(sizeof text + 18);
    size_t length = 0;
    ASSERT_EQ(velsecure_record_encrypt(pair.initiator_send.get(), text, sizeof text, record.data(),
                                       record.size(), &length, nullptr),
              VELSECURE_OK);
    Bytes opened(sizeof text);
    size_t opened_length = 0;
    ASSERT_EQ(velsecure_transport_decrypt(pair.responder_receive.get(), record.data(), 2,
                                          record.data() + 2, length - 2, opened.data(),
                                          opened.size(), &opened_length, nullptr),
              VELSECURE_OK);
    EXPECT_EQ(Bytes(text, text + sizeof text), opened);
  }
}

TEST_F(HandshakePump, WireShowsPreludesThenFramedMessagesOf32And96And64Bytes) {
  Pump a = initiator();
  Pump b = responder();
  const Bytes a_prelude = drain(a.get());
  const Bytes b_prelude = drain(b.get());
  ASSERT_EQ(a_prelude.size(), 16u);
  ASSERT_EQ(b_prelude.size(), 16u);
  EXPECT_EQ(a_prelude[13], 1);
  EXPECT_EQ(b_prelude[13], 2);
  // Neither side writes a handshake message before it has the other's prelude.
  EXPECT_TRUE(drain(a.get()).empty());

  size_t taken = 0;
  ASSERT_EQ(feed(a.get(), b_prelude, 64, &taken), VELSECURE_OK);
  const Bytes message1 = drain(a.get());
  ASSERT_EQ(message1.size(), 34u);
  EXPECT_EQ(message1[0], 0);
  EXPECT_EQ(message1[1], 32);
  ASSERT_EQ(feed(b.get(), a_prelude, 64, &taken), VELSECURE_OK);
  ASSERT_EQ(feed(b.get(), message1, 64, &taken), VELSECURE_OK);
  const Bytes message2 = drain(b.get());
  ASSERT_EQ(message2.size(), 98u);
  EXPECT_EQ(message2[1], 96);
  ASSERT_EQ(feed(a.get(), message2, 128, &taken), VELSECURE_OK);
  const Bytes message3 = drain(a.get());
  ASSERT_EQ(message3.size(), 66u);
  EXPECT_EQ(message3[1], 64);

  // Message 3 followed by the first record: the pump stops at the end of message 3.
  Bytes with_record = message3;
  with_record.insert(with_record.end(), {0x00, 0x10, 1, 2, 3});
  ASSERT_EQ(feed(b.get(), with_record, with_record.size(), &taken), VELSECURE_OK);
  EXPECT_EQ(taken, message3.size());
  uint32_t flags = 0;
  ASSERT_EQ(velsecure_handshake_pump_interest(b.get(), 0, &flags, nullptr), VELSECURE_OK);
  EXPECT_EQ(flags, kVelSecurePumpComplete);
}

TEST_F(HandshakePump, PreludeOneBytePerCallStartsTheHandshakeWithTheSixteenth) {
  Pump a = initiator();
  Pump b = responder();
  drain(a.get());
  const Bytes b_prelude = drain(b.get());
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_TRUE(drain(a.get()).empty()) << i;
    size_t consumed = 0;
    ASSERT_EQ(velsecure_handshake_pump_input(a.get(), &b_prelude[i], 1, &consumed, 0, nullptr),
              VELSECURE_OK);
    EXPECT_EQ(consumed, 1u);
  }
  EXPECT_EQ(drain(a.get()).size(), 34u);
}

TEST_F(HandshakePump, InterestFollowsTheStates) {
  Pump a = initiator();
  uint32_t flags = 0;
  ASSERT_EQ(velsecure_handshake_pump_interest(a.get(), 0, &flags, nullptr), VELSECURE_OK);
  EXPECT_EQ(flags, kVelSecurePumpWantsInput | kVelSecurePumpHasOutput);
  drain(a.get());
  ASSERT_EQ(velsecure_handshake_pump_interest(a.get(), 0, &flags, nullptr), VELSECURE_OK);
  EXPECT_EQ(flags, kVelSecurePumpWantsInput);
  Pump b = responder();
  size_t taken = 0;
  ASSERT_EQ(feed(a.get(), drain(b.get()), 64, &taken), VELSECURE_OK);
  ASSERT_EQ(velsecure_handshake_pump_interest(a.get(), 0, &flags, nullptr), VELSECURE_OK);
  // Message 1 waits to go out, and message 2 may already be read.
  EXPECT_EQ(flags, kVelSecurePumpWantsInput | kVelSecurePumpHasOutput);
  drain(a.get());
  ASSERT_EQ(velsecure_handshake_pump_interest(a.get(), 0, &flags, nullptr), VELSECURE_OK);
  EXPECT_EQ(flags, kVelSecurePumpWantsInput);
}

// A frame length outside 1..256 fails the pump before any byte of the message.
TEST_F(HandshakePump, FrameLengthsOutsideTheRangeAreTooLarge) {
  for (uint16_t length : {0, 257, 0xFFFF}) {
    Pump b = responder();
    drain(b.get());
    Bytes input = drain(initiator().get());
    input.push_back(static_cast<uint8_t>(length >> 8));
    input.push_back(static_cast<uint8_t>(length));
    size_t taken = 0;
    StatusRecord status{};
    EXPECT_EQ(feed(b.get(), input, input.size(), &taken, 0, &status), VELSECURE_MESSAGE_TOO_LARGE);
    EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_READ);
    EXPECT_EQ(status.detail, length);
  }
}

TEST_F(HandshakePump, NonEmptyPayloadIsAProtocolError) {
  // Message 1 of XX carries its payload in the clear: one extra byte is a payload.
  Pump a = initiator();
  Pump b = responder();
  const Bytes a_prelude = drain(a.get());
  size_t taken = 0;
  ASSERT_EQ(feed(a.get(), drain(b.get()), 64, &taken), VELSECURE_OK);
  Bytes message1 = drain(a.get());
  message1[1] = 33;
  message1.push_back('x');
  Bytes input = a_prelude;
  input.insert(input.end(), message1.begin(), message1.end());
  StatusRecord status{};
  EXPECT_EQ(feed(b.get(), input, input.size(), &taken, 0, &status), VELSECURE_PROTOCOL_ERROR);
  EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_READ);
  EXPECT_EQ(status.detail, 1u);
}

TEST_F(HandshakePump, WrongPeerPreludeFailsWithItsDetail) {
  Pump b = responder(0, 2);  // a data responder
  const Bytes control_prelude = drain(initiator().get());
  size_t taken = 0;
  StatusRecord status{};
  EXPECT_EQ(feed(b.get(), control_prelude, 16, &taken, 0, &status), VELSECURE_PROTOCOL_ERROR);
  EXPECT_EQ(status.operation, VELSECURE_OP_PRELUDE);
  EXPECT_EQ(status.detail, 10u);

  Pump c = responder();
  Bytes json(16, ' ');
  json[0] = '{';
  EXPECT_EQ(feed(c.get(), json, 16, &taken, 0, &status), VELSECURE_PROTOCOL_ERROR);
  EXPECT_EQ(status.detail, 4u);
}

// A flipped bit anywhere in a handshake message fails the side that reads the
// next authenticated message: message 1 and 2 at the initiator (which cannot
// open the responder's static key), message 3 at the responder.
TEST_F(HandshakePump, FlippedBitInAnyMessageFailsAuthentication) {
  struct Flip {
    int message;    // 1, 2 or 3
    size_t offset;  // within the message, after its length field
  };
  std::vector<Flip> flips;
  for (size_t offset = 0; offset < 32; offset += 5) flips.push_back({1, offset});
  for (size_t offset = 0; offset < 96; offset += 7) flips.push_back({2, offset});
  for (size_t offset = 0; offset < 64; offset += 5) flips.push_back({3, offset});
  flips.push_back({1, 31});
  flips.push_back({2, 95});
  flips.push_back({3, 63});
  for (const Flip& flip : flips) {
    SCOPED_TRACE(testing::Message() << "message " << flip.message << " byte " << flip.offset);
    Pump a = initiator();
    Pump b = responder();
    size_t taken = 0;
    ASSERT_EQ(feed(b.get(), drain(a.get()), 64, &taken), VELSECURE_OK);
    ASSERT_EQ(feed(a.get(), drain(b.get()), 64, &taken), VELSECURE_OK);
    const auto tamper = [&](Bytes frame, int message) {
      if (message == flip.message)
        frame[2 + flip.offset] ^= static_cast<uint8_t>(1 << (flip.offset % 8));
      return frame;
    };
    StatusRecord status{};
    uint32_t code = feed(b.get(), tamper(drain(a.get()), 1), 64, &taken, 0, &status);
    if (code == VELSECURE_OK) {
      code = feed(a.get(), tamper(drain(b.get()), 2), 128, &taken, 0, &status);
    }
    if (code == VELSECURE_OK) {
      code = feed(b.get(), tamper(drain(a.get()), 3), 128, &taken, 0, &status);
    }
    EXPECT_EQ(code, VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_READ);
    VelSecureHandshakePump_s* failed = flip.message == 3 ? b.get() : a.get();
    uint32_t flags = 0;
    EXPECT_EQ(velsecure_handshake_pump_interest(failed, 0, &flags, nullptr),
              VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(flags, kVelSecurePumpFailed);
  }
}

TEST_F(HandshakePump, DeadlineFailsEveryCallFromItUntilReady) {
  constexpr uint64_t kStart = 5000;
  Pump a = initiator(kStart);
  uint32_t flags = 0;
  EXPECT_EQ(velsecure_handshake_pump_interest(a.get(), kStart + 9999, &flags, nullptr),
            VELSECURE_OK);
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_pump_interest(a.get(), kStart + 10000, &flags, &status),
            VELSECURE_TIMED_OUT);
  EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_READ);
  EXPECT_EQ(flags, kVelSecurePumpFailed);
  // Latched: even an earlier clock reading repeats it.
  size_t consumed = 0;
  const uint8_t byte = 0;
  EXPECT_EQ(velsecure_handshake_pump_input(a.get(), &byte, 1, &consumed, kStart, nullptr),
            VELSECURE_TIMED_OUT);
  EXPECT_EQ(velsecure_handshake_pump_consume_output(a.get(), 0, kStart, nullptr),
            VELSECURE_TIMED_OUT);
  EXPECT_EQ(velsecure_handshake_pump_cancel(a.get(), nullptr), VELSECURE_TIMED_OUT);

  // Each entry point notices the deadline.
  for (int entry = 0; entry < 4; ++entry) {
    SCOPED_TRACE(entry);
    Pump p = initiator(kStart);
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint32_t code = 0;
    switch (entry) {
      case 0:
        code = velsecure_handshake_pump_interest(p.get(), kStart + 10000, &flags, nullptr);
        break;
      case 1:
        code = velsecure_handshake_pump_output(p.get(), kStart + 10000, &data, &length, nullptr);
        break;
      case 2:
        code = velsecure_handshake_pump_consume_output(p.get(), 1, kStart + 10000, nullptr);
        break;
      default:
        code =
            velsecure_handshake_pump_input(p.get(), &byte, 0, &consumed, kStart + 10000, nullptr);
        break;
    }
    EXPECT_EQ(code, VELSECURE_TIMED_OUT);
  }

  // A pump that is ready no longer minds the deadline.
  Pump ready_a = initiator(kStart);
  Pump ready_b = responder(kStart);
  run_handshake(ready_a.get(), ready_b.get(), 64);
  EXPECT_EQ(velsecure_handshake_pump_interest(ready_a.get(), kStart + 20000, &flags, nullptr),
            VELSECURE_OK);
  EXPECT_EQ(flags, kVelSecurePumpComplete);
}

TEST_F(HandshakePump, DeadlineSaturatesInsteadOfWrapping) {
  Pump a = initiator(UINT64_MAX - 5);
  uint32_t flags = 0;
  EXPECT_EQ(velsecure_handshake_pump_interest(a.get(), UINT64_MAX - 1, &flags, nullptr),
            VELSECURE_OK);
  EXPECT_EQ(velsecure_handshake_pump_interest(a.get(), UINT64_MAX, &flags, nullptr),
            VELSECURE_TIMED_OUT);
}

TEST_F(HandshakePump, ResultIsTakenOnceAndOnlyWhenReady) {
  Pump a = initiator();
  Pump b = responder();
  Transport send, receive;
  std::array<uint8_t, 32> remote{}, hash{};
  StatusRecord status{};
  EXPECT_EQ(take_result(a.get(), send, receive, remote, hash), VELSECURE_INVALID_STATE);
  run_handshake(a.get(), b.get(), 64);
  ASSERT_EQ(take_result(a.get(), send, receive, remote, hash), VELSECURE_OK);
  Transport send2, receive2;
  EXPECT_EQ(take_result(a.get(), send2, receive2, remote, hash), VELSECURE_INVALID_STATE);
  EXPECT_EQ(velsecure_handshake_pump_cancel(a.get(), &status), VELSECURE_INVALID_STATE);
  EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_RESULT);
  // Handles that already hold something are refused.
  VelSecureTransport_s* held = send.get();
  VelSecureTransport_s* empty = nullptr;
  EXPECT_EQ(velsecure_handshake_pump_take_result(b.get(), &held, &empty, remote.data(), hash.data(),
                                                 nullptr),
            VELSECURE_INVALID_ARGUMENT);
}

TEST_F(HandshakePump, CancelAndOverConsumptionFailThePumpForGood) {
  Pump a = initiator();
  StatusRecord status{};
  EXPECT_EQ(velsecure_handshake_pump_cancel(a.get(), &status), VELSECURE_CANCELLED);
  EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_READ);
  EXPECT_EQ(velsecure_handshake_pump_cancel(a.get(), nullptr), VELSECURE_CANCELLED);

  Pump b = initiator();
  EXPECT_EQ(velsecure_handshake_pump_consume_output(b.get(), 17, 0, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_WRITE);
  EXPECT_EQ(status.detail, 17u);
  const uint8_t* data = nullptr;
  size_t length = 0;
  EXPECT_EQ(velsecure_handshake_pump_output(b.get(), 0, &data, &length, nullptr),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(length, 0u);
}

TEST_F(HandshakePump, CreationChecksItsConfig) {
  struct Case {
    const char* name;
    void (*spoil)(VelSecurePumpConfig&);
  };
  const Case cases[] = {
      {"size", [](VelSecurePumpConfig& c) { c.size = 63; }},
      {"version", [](VelSecurePumpConfig& c) { c.version = 2; }},
      {"role", [](VelSecurePumpConfig& c) { c.role = 3; }},
      {"purpose", [](VelSecurePumpConfig& c) { c.purpose = 0; }},
      {"timeout", [](VelSecurePumpConfig& c) { c.handshake_timeout_ms = 0; }},
      {"view size", [](VelSecurePumpConfig& c) { c.identity.size = 39; }},
      {"private key", [](VelSecurePumpConfig& c) { c.identity.private_key = nullptr; }},
      {"private length", [](VelSecurePumpConfig& c) { c.identity.private_key_length = 31; }},
      {"public key", [](VelSecurePumpConfig& c) { c.identity.public_key = nullptr; }},
      {"public length", [](VelSecurePumpConfig& c) { c.identity.public_key_length = 33; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VelSecurePumpConfig config = pump_config(1, 1, initiator_keys_);
    c.spoil(config);
    VelSecureHandshakePump_s* pump = nullptr;
    StatusRecord status{};
    EXPECT_EQ(velsecure_handshake_pump_create(initiator_context_.get(), &config, 0, &pump, &status),
              VELSECURE_INVALID_ARGUMENT);
    EXPECT_EQ(status.operation, VELSECURE_OP_HANDSHAKE_CREATE);
    EXPECT_EQ(pump, nullptr);
  }
  const VelSecurePumpConfig config = pump_config(1, 1, initiator_keys_);
  Pump held = initiator();
  VelSecureHandshakePump_s* handle = held.get();
  EXPECT_EQ(velsecure_handshake_pump_create(initiator_context_.get(), &config, 0, &handle, nullptr),
            VELSECURE_INVALID_ARGUMENT);
}

TEST_F(HandshakePump, MismatchedKeyPairIsRefusedWhenTheHandshakeStarts) {
  KeyPair odd = initiator_keys_;
  odd.public_key = responder_keys_.public_key;
  Pump a = make_pump(initiator_context_.get(), 1, 1, odd);
  Pump b = responder();
  size_t taken = 0;
  EXPECT_EQ(feed(a.get(), drain(b.get()), 64, &taken), VELSECURE_INVALID_KEY);
}

}  // namespace
