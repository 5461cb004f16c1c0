// Hostile handshake messages: the first input byte picks which of the three XX
// messages the rest of the input replaces; the honest ends run up to it, read the
// hostile bytes, and carry on as far as the handshake lets them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "native/secure/velsecure_handshake.h"
#include "native/secure/velsecure_identity.h"

namespace {

// Deterministic randomness, so every input replays the same way.
int counter_random(uint64_t context, void* buffer, size_t length) {
  auto* counter = reinterpret_cast<uint8_t*>(context);
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>((*counter)++ * 29 + 3);
  return 1;
}

void zero_wipe(uint64_t, void* buffer, size_t length) { std::memset(buffer, 0, length); }

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > 65535) return 0;
  const int replaced = data[0] % 3;
  uint8_t counters[2] = {1, 101};
  VelSecureContext contexts[2] = {nullptr, nullptr};
  uint8_t private_keys[2][32], public_keys[2][32];
  VelSecureHandshake* sides[2] = {nullptr, nullptr};  // initiator, responder
  for (int i = 0; i < 2; ++i) {
    const VelSecurePlatform platform{32, 1, reinterpret_cast<uint64_t>(&counters[i]),
                                     counter_random, zero_wipe};
    check(velsecure_context_create(&platform, &contexts[i], nullptr) == VELSECURE_OK);
    check(velsecure_identity_generate(contexts[i], private_keys[i], public_keys[i], nullptr) ==
          VELSECURE_OK);
    const VelSecureHandshakeConfig config{
        sizeof(VelSecureHandshakeConfig),
        1,
        i == 0 ? VELSECURE_ROLE_INITIATOR : VELSECURE_ROLE_RESPONDER,
        1,
        nullptr,
        0,
        VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), private_keys[i], 32,
                                public_keys[i], 32}};
    check(velsecure_handshake_create(contexts[i], &config, &sides[i], nullptr) == VELSECURE_OK);
  }
  static uint8_t message[65535];
  static uint8_t payload[65535];
  for (int m = 0; m < 3; ++m) {
    VelSecureHandshake* writer = sides[m % 2];
    VelSecureHandshake* reader = sides[1 - m % 2];
    size_t length = 0;
    if (velsecure_handshake_write(writer, nullptr, 0, message, 256, &length, nullptr) !=
        VELSECURE_OK) {
      break;
    }
    const uint8_t* incoming = message;
    if (m == replaced) {
      incoming = data + 1;
      length = size - 1;
    }
    size_t payload_length = 99;
    const uint32_t code = velsecure_handshake_read(reader, incoming, length, payload,
                                                   sizeof(payload), &payload_length, nullptr);
    if (code != VELSECURE_OK) {
      check(payload_length == 0);
      check(length == 0 || velsecure_handshake_action(reader) == VELSECURE_HANDSHAKE_FAILED ||
            code == VELSECURE_INVALID_ARGUMENT);
      break;
    }
  }
  if (velsecure_handshake_action(sides[0]) == VELSECURE_HANDSHAKE_SPLIT &&
      velsecure_handshake_action(sides[1]) == VELSECURE_HANDSHAKE_SPLIT) {
    VelSecureTransport_s* transports[4] = {};
    check(velsecure_handshake_split(sides[0], &transports[0], &transports[1], nullptr) ==
          VELSECURE_OK);
    check(velsecure_handshake_split(sides[1], &transports[2], &transports[3], nullptr) ==
          VELSECURE_OK);
    for (VelSecureTransport_s* transport : transports) velsecure_transport_destroy(transport);
  }
  for (int i = 0; i < 2; ++i) {
    velsecure_handshake_destroy(sides[i]);
    velsecure_context_destroy(contexts[i]);
  }
  return 0;
}
