// Random providers and the per-thread random scope through which the Noise
// machinery draws its random bytes.
#pragma once

#include <cstddef>

// A source of random bytes: fill returns non-zero when the buffer was filled.
struct VelSecureRandomProvider {
  int (*fill)(void* context, void* buffer, size_t length);
  void* context;
};

// The process-wide default provider: the system random source (getrandom(2)).
const VelSecureRandomProvider* velsecure_random_provider_default();

// Fills buffer from provider. Returns 0 for a null provider or fill function, or
// a null buffer with a non-zero length; 1 for length 0 without calling anything.
// A failed fill zeroes the whole buffer and returns 0.
int velsecure_random_fill(const VelSecureRandomProvider* provider, void* buffer, size_t length);

// Installs provider as the calling thread's current one and returns the previous.
const VelSecureRandomProvider* velsecure_noise_random_scope_begin(
    const VelSecureRandomProvider* provider);
// Puts back the provider that velsecure_noise_random_scope_begin returned.
void velsecure_noise_random_scope_end(const VelSecureRandomProvider* previous);
// The calling thread's current provider, or null outside any scope.
const VelSecureRandomProvider* velsecure_noise_random_scope_current();

// Opens a random scope for the lifetime of the object.
class VelSecureRandomScope {
 public:
  explicit VelSecureRandomScope(const VelSecureRandomProvider* provider)
      : previous_(velsecure_noise_random_scope_begin(provider)) {}
  ~VelSecureRandomScope() { velsecure_noise_random_scope_end(previous_); }
  VelSecureRandomScope(const VelSecureRandomScope&) = delete;
  VelSecureRandomScope& operator=(const VelSecureRandomScope&) = delete;

 private:
  const VelSecureRandomProvider* previous_;
};
