#include "native/secure/noise/noise_util.h"

#include <cstdlib>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/velsecure_random.h"

int noise_init() { return NOISE_ERROR_NONE; }

void noise_init_helper() {}

void* noise_new_object(size_t size) {
  void* object = std::calloc(1, size);
  if (object != nullptr && size >= sizeof(size_t)) *static_cast<size_t*>(object) = size;
  return object;
}

void noise_free(void* object, size_t size) {
  if (object == nullptr) return;
  noise_clean(object, size);
  std::free(object);
}

void noise_clean(void* data, size_t size) {
  volatile auto* bytes = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

int noise_is_equal(const void* a, const void* b, size_t size) {
  const auto* x = static_cast<const volatile uint8_t*>(a);
  const auto* y = static_cast<const volatile uint8_t*>(b);
  uint8_t difference = 0;
  for (size_t i = 0; i < size; ++i) difference |= static_cast<uint8_t>(x[i] ^ y[i]);
  return difference == 0 ? 1 : 0;
}

int noise_is_zero(const void* data, size_t size) {
  const auto* x = static_cast<const volatile uint8_t*>(data);
  uint8_t bits = 0;
  for (size_t i = 0; i < size; ++i) bits |= x[i];
  return bits == 0 ? 1 : 0;
}

int noise_rand_bytes(void* buffer, size_t size) {
  const VelSecureRandomProvider* provider = velsecure_noise_random_scope_current();
  if (provider == nullptr) provider = velsecure_random_provider_default();
  return velsecure_random_fill(provider, buffer, size) != 0 ? NOISE_ERROR_NONE : NOISE_ERROR_SYSTEM;
}
