#include "native/secure/velsecure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

int system_random_fill(void* /*context*/, void* buffer, size_t length) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    // getrandom may return fewer bytes than asked for (above 256, or on a signal).
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    out += got;
    length -= static_cast<size_t>(got);
  }
  return 1;
}

constexpr VelSecureRandomProvider kSystemProvider{system_random_fill, nullptr};

thread_local const VelSecureRandomProvider* current_provider = nullptr;

}  // namespace

const VelSecureRandomProvider* velsecure_random_provider_default() { return &kSystemProvider; }

int velsecure_random_fill(const VelSecureRandomProvider* provider, void* buffer, size_t length) {
  if (provider == nullptr || provider->fill == nullptr) return 0;
  if (buffer == nullptr && length != 0) return 0;
  if (length == 0) return 1;
  if (provider->fill(provider->context, buffer, length) != 0) return 1;
  volatile auto* bytes = static_cast<volatile uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) bytes[i] = 0;
  return 0;
}

const VelSecureRandomProvider* velsecure_noise_random_scope_begin(
    const VelSecureRandomProvider* provider) {
  const VelSecureRandomProvider* previous = current_provider;
  current_provider = provider;
  return previous;
}

void velsecure_noise_random_scope_end(const VelSecureRandomProvider* previous) {
  current_provider = previous;
}

const VelSecureRandomProvider* velsecure_noise_random_scope_current() { return current_provider; }
