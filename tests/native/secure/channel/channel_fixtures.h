// Deterministic keys, random sources and an in-memory byte road for the tests
// of the secure channel.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "native/secure/channel/handshake_pump.h"
#include "native/secure/channel/record_reader.h"
#include "native/secure/channel/transport.h"
#include "native/secure/primitives/curve25519.h"
#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_handshake.h"

namespace velsecure_test {

using Bytes = std::vector<uint8_t>;

// SplitMix64 behind the platform's random callback: the same seed gives the
// same ephemeral keys, so transcripts repeat.
struct SeededRandom {
  uint64_t state;

  static int fill(uint64_t context, void* buffer, size_t length) {
    auto* self = reinterpret_cast<SeededRandom*>(static_cast<uintptr_t>(context));
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; ++i) {
      uint64_t z = (self->state += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      bytes[i] = static_cast<uint8_t>(z ^ (z >> 31));
    }
    return 1;
  }

  VelSecurePlatform platform() {
    VelSecurePlatform platform = velsecure_platform_default();
    platform.context = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));
    platform.random = fill;
    return platform;
  }
};

struct KeyPair {
  std::array<uint8_t, 32> secret{};
  std::array<uint8_t, 32> public_key{};

  VelSecureIdentityView_s view() const {
    return VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), secret.data(), 32,
                                   public_key.data(), 32};
  }
};

inline KeyPair key_pair(uint8_t seed) {
  KeyPair pair;
  for (size_t i = 0; i < 32; ++i) pair.secret[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
  const uint8_t base_point[32] = {9};
  velmorine::secure::curve25519_donna(pair.public_key.data(), pair.secret.data(), base_point);
  return pair;
}

// Owns a context made from a seeded random source.
class TestContext {
 public:
  explicit TestContext(uint64_t seed) : random_{seed} {
    const VelSecurePlatform platform = random_.platform();
    EXPECT_EQ(velsecure_context_create(&platform, &context_, nullptr), VELSECURE_OK);
  }
  ~TestContext() { velsecure_context_destroy(context_); }
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;
  VelSecureContext_s* get() const { return context_; }

 private:
  SeededRandom random_;
  VelSecureContext_s* context_ = nullptr;
};

struct PumpDeleter {
  void operator()(VelSecureHandshakePump_s* pump) const { velsecure_handshake_pump_destroy(pump); }
};
struct TransportDeleter {
  void operator()(VelSecureTransport_s* transport) const { velsecure_transport_destroy(transport); }
};
struct ReaderDeleter {
  void operator()(VelSecureRecordReader_s* reader) const {
    velsecure_record_reader_destroy(reader);
  }
};
using Pump = std::unique_ptr<VelSecureHandshakePump_s, PumpDeleter>;
using Transport = std::unique_ptr<VelSecureTransport_s, TransportDeleter>;
using Reader = std::unique_ptr<VelSecureRecordReader_s, ReaderDeleter>;

inline VelSecurePumpConfig pump_config(uint32_t role, uint32_t purpose, const KeyPair& keys,
                                       uint64_t timeout_ms = 10000) {
  VelSecurePumpConfig config{};
  config.size = sizeof config;
  config.version = 1;
  config.role = role;
  config.purpose = purpose;
  config.handshake_timeout_ms = timeout_ms;
  config.identity = keys.view();
  return config;
}

inline Pump make_pump(VelSecureContext_s* context, uint32_t role, uint32_t purpose,
                      const KeyPair& keys, uint64_t now_ms = 0) {
  const VelSecurePumpConfig config = pump_config(role, purpose, keys);
  VelSecureHandshakePump_s* pump = nullptr;
  EXPECT_EQ(velsecure_handshake_pump_create(context, &config, now_ms, &pump, nullptr),
            VELSECURE_OK);
  return Pump(pump);
}

// Everything the pump wants to send now, marked as sent.
inline Bytes drain(VelSecureHandshakePump_s* pump, uint64_t now_ms = 0) {
  Bytes sent;
  for (;;) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (velsecure_handshake_pump_output(pump, now_ms, &data, &length, nullptr) != VELSECURE_OK ||
        length == 0) {
      return sent;
    }
    sent.insert(sent.end(), data, data + length);
    if (velsecure_handshake_pump_consume_output(pump, length, now_ms, nullptr) != VELSECURE_OK) {
      return sent;
    }
  }
}

// Feeds bytes in chunks of at most chunk; returns the first failure, or ok
// with the count the pump took.
inline uint32_t feed(VelSecureHandshakePump_s* pump, const Bytes& bytes, size_t chunk,
                     size_t* taken, uint64_t now_ms = 0, StatusRecord* status = nullptr) {
  *taken = 0;
  while (*taken < bytes.size()) {
    const size_t length = std::min(chunk, bytes.size() - *taken);
    size_t consumed = 0;
    const uint32_t code = velsecure_handshake_pump_input(pump, bytes.data() + *taken, length,
                                                         &consumed, now_ms, status);
    *taken += consumed;
    if (code != VELSECURE_OK) return code;
    if (consumed < length) break;
  }
  return VELSECURE_OK;
}

// The two transports of each side after a completed handshake.
struct EstablishedPair {
  Transport initiator_send, initiator_receive, responder_send, responder_receive;
  std::array<uint8_t, 32> initiator_remote{}, responder_remote{};
  std::array<uint8_t, 32> initiator_hash{}, responder_hash{};
};

inline uint32_t take_result(VelSecureHandshakePump_s* pump, Transport& send, Transport& receive,
                            std::array<uint8_t, 32>& remote, std::array<uint8_t, 32>& hash) {
  VelSecureTransport_s* s = nullptr;
  VelSecureTransport_s* r = nullptr;
  const uint32_t code =
      velsecure_handshake_pump_take_result(pump, &s, &r, remote.data(), hash.data(), nullptr);
  send.reset(s);
  receive.reset(r);
  return code;
}

// Runs both pumps to completion, every transfer cut into pieces of at most chunk.
inline void run_handshake(VelSecureHandshakePump_s* initiator, VelSecureHandshakePump_s* responder,
                          size_t chunk) {
  Bytes to_responder, to_initiator;
  for (int round = 0; round < 1000; ++round) {
    Bytes out = drain(initiator);
    to_responder.insert(to_responder.end(), out.begin(), out.end());
    out = drain(responder);
    to_initiator.insert(to_initiator.end(), out.begin(), out.end());
    size_t taken = 0;
    ASSERT_EQ(feed(responder, to_responder, chunk, &taken), VELSECURE_OK);
    to_responder.erase(to_responder.begin(), to_responder.begin() + taken);
    ASSERT_EQ(feed(initiator, to_initiator, chunk, &taken), VELSECURE_OK);
    to_initiator.erase(to_initiator.begin(), to_initiator.begin() + taken);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(velsecure_handshake_pump_interest(initiator, 0, &a, nullptr), VELSECURE_OK);
    ASSERT_EQ(velsecure_handshake_pump_interest(responder, 0, &b, nullptr), VELSECURE_OK);
    if ((a & kVelSecurePumpComplete) && (b & kVelSecurePumpComplete)) {
      ASSERT_TRUE(to_responder.empty());
      ASSERT_TRUE(to_initiator.empty());
      return;
    }
  }
  FAIL() << "handshake did not complete";
}

// A fresh channel's transports, both sides from seeded contexts.
class Established {
 public:
  Established()
      : initiator_context_(1),
        responder_context_(2),
        initiator_keys_(key_pair(1)),
        responder_keys_(key_pair(2)) {
    Pump initiator = make_pump(initiator_context_.get(), 1, 1, initiator_keys_);
    Pump responder = make_pump(responder_context_.get(), 2, 1, responder_keys_);
    run_handshake(initiator.get(), responder.get(), 4096);
    EXPECT_EQ(take_result(initiator.get(), pair_.initiator_send, pair_.initiator_receive,
                          pair_.initiator_remote, pair_.initiator_hash),
              VELSECURE_OK);
    EXPECT_EQ(take_result(responder.get(), pair_.responder_send, pair_.responder_receive,
                          pair_.responder_remote, pair_.responder_hash),
              VELSECURE_OK);
  }
  EstablishedPair& pair() { return pair_; }
  const KeyPair& initiator_keys() const { return initiator_keys_; }
  const KeyPair& responder_keys() const { return responder_keys_; }

 private:
  TestContext initiator_context_;
  TestContext responder_context_;
  KeyPair initiator_keys_;
  KeyPair responder_keys_;
  EstablishedPair pair_;
};

}  // namespace velsecure_test
