// Helpers shared by the Noise tests: hex text, scripted random sources, key pairs
// and a context whose random callback replays given bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "native/secure/noise/noise_dhstate.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_handshake.h"

namespace velmorine::secure::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string to_hex(const uint8_t* data, size_t len) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}
inline std::string to_hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

// The public half of an X25519 private key, through the Noise DH object.
inline Bytes public_key_of(const Bytes& private_key) {
  NoiseDHState* dh = nullptr;
  noise_dhstate_new_by_id(&dh, NOISE_DH_CURVE25519);
  noise_dhstate_set_keypair_private(dh, private_key.data(), private_key.size());
  Bytes pub(32);
  noise_dhstate_get_public_key(dh, pub.data(), pub.size());
  noise_dhstate_free(dh);
  return pub;
}

// A random source that hands out queued bytes and then fails (or, when told, goes
// on with a fixed pseudo-random stream, so that runs repeat exactly).
struct ScriptedRandom {
  std::deque<uint8_t> queued;
  bool fail_when_empty = true;
  int calls = 0;
  uint64_t stream = 0x9E3779B97F4A7C15ull;

  void push(const Bytes& bytes) { queued.insert(queued.end(), bytes.begin(), bytes.end()); }

  static int fill(uint64_t context, void* buffer, size_t length) {
    auto* self = reinterpret_cast<ScriptedRandom*>(context);
    ++self->calls;
    auto* out = static_cast<uint8_t*>(buffer);
    if (self->queued.size() < length) {
      if (self->fail_when_empty) return 0;
      for (size_t i = 0; i < length; ++i) {
        // xorshift64: not random, only different from call to call.
        self->stream ^= self->stream << 13;
        self->stream ^= self->stream >> 7;
        self->stream ^= self->stream << 17;
        out[i] = static_cast<uint8_t>(self->stream);
      }
      return 1;
    }
    for (size_t i = 0; i < length; ++i) {
      out[i] = self->queued.front();
      self->queued.pop_front();
    }
    return 1;
  }
  static void wipe(uint64_t, void* buffer, size_t length) { std::memset(buffer, 0, length); }
};

// A context bound to a ScriptedRandom; destroyed with the object.
class ScriptedContext {
 public:
  ScriptedContext() {
    const VelSecurePlatform platform{32, 1, reinterpret_cast<uint64_t>(&random),
                                     ScriptedRandom::fill, ScriptedRandom::wipe};
    velsecure_context_create(&platform, &context, nullptr);
  }
  ~ScriptedContext() { velsecure_context_destroy(context); }
  ScriptedContext(const ScriptedContext&) = delete;
  ScriptedContext& operator=(const ScriptedContext&) = delete;

  ScriptedRandom random;
  VelSecureContext context = nullptr;
};

// A static key pair with the view the handshake takes.
struct KeyPair {
  Bytes private_key;
  Bytes public_key;

  explicit KeyPair(Bytes priv)
      : private_key(std::move(priv)), public_key(public_key_of(private_key)) {}
  VelSecureIdentityView_s view() const {
    return VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), private_key.data(), 32,
                                   public_key.data(), 32};
  }
};

inline VelSecureHandshakeConfig handshake_config(uint32_t role, const KeyPair& keys,
                                                 const Bytes& prologue) {
  return VelSecureHandshakeConfig{sizeof(VelSecureHandshakeConfig),
                                  1,
                                  role,
                                  1,
                                  prologue.empty() ? nullptr : prologue.data(),
                                  prologue.size(),
                                  keys.view()};
}

}  // namespace velmorine::secure::testing
