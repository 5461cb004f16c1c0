// Feeds arbitrary bytes to a responder channel that learns its purpose from
// the prelude: handshake framing, Noise messages and records. The first input
// byte sets the chunk size of the receive calls (0 means 65536).
#include <cstddef>
#include <cstdint>
#include <span>

#include "native/secure/ve_secure_channel.h"

namespace {

// A fixed random source so that the responder's ephemeral key, and with it a
// seed's whole transcript, repeats from run to run.
int counting_random(uint64_t context, void* buffer, size_t length) {
  auto* counter = reinterpret_cast<uint64_t*>(static_cast<uintptr_t>(context));
  auto* bytes = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((*counter)++ * 167 + 13);
  return 1;
}

const std::shared_ptr<velmorine::VEIdentity>& responder_identity() {
  static const std::shared_ptr<velmorine::VEIdentity> identity = [] {
    std::vector<uint8_t> secret(32);
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(0xA0 + i);
    return *velmorine::VEIdentity::withSecret(secret);
  }();
  return identity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = data[0] == 0 ? velmorine::VESecureChannel::kReceiveChunkMax : data[0];
  std::span<const uint8_t> stream(data + 1, size - 1);

  uint64_t counter = 0;
  velmorine::VESecureChannel::Environment environment;
  environment.platform.random = counting_random;
  environment.platform.context = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter));
  environment.now_ms = [] { return uint64_t{1000}; };
  auto channel =
      velmorine::VESecureChannel::withIdentity(responder_identity(), false, 0, environment);
  if (!channel) return 0;
  while (!stream.empty()) {
    const size_t length = std::min(chunk, stream.size());
    if (!(*channel)->receive(stream.first(length))) return 0;
    if (!(*channel)->takeHandshakeOutput()) return 0;
    stream = stream.subspan(length);
  }
  (void)(*channel)->finish();
  return 0;
}
