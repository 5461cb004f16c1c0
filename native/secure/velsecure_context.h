// The context that carries the caller's random and wipe callbacks, and the
// default platform record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/velsecure_random.h"
#include "native/secure/velsecure_status.h"

// The caller's configuration record: 32 bytes.
struct VelSecurePlatform {
  uint32_t size;     // at least 32
  uint32_t version;  // exactly 1
  uint64_t context;  // handed back to both callbacks
  // Fills buffer with random bytes; non-zero when it was filled.
  int (*random)(uint64_t context, void* buffer, size_t length);
  // Overwrites buffer.
  void (*wipe)(uint64_t context, void* buffer, size_t length);
};
static_assert(sizeof(VelSecurePlatform) == 32);

inline constexpr uint32_t kVelSecurePlatformVersion = 1;

// A copy of the platform record and a provider whose fill calls its random callback.
struct VelSecureContext_s {
  VelSecurePlatform platform;
  VelSecureRandomProvider provider;  // context: this VelSecureContext_s
};
using VelSecureContext = VelSecureContext_s*;

// Size 32, version 1, context 0, random from the default provider, and a wipe that
// zeroes byte by byte.
VelSecurePlatform velsecure_platform_default();

// invalid_argument (operation 1) unless context points to a null handle and
// platform is a valid record with both callbacks; system_error when the Noise
// library fails to initialise; out_of_memory when allocation fails.
uint32_t velsecure_context_create(const VelSecurePlatform* platform, VelSecureContext_s** context,
                                  StatusRecord* status);

// Wipes the context through its own wipe callback and frees it; null is ignored.
// Every object created with the context must be destroyed first.
void velsecure_context_destroy(VelSecureContext_s* context);

// Fills buffer through the context's random callback; a failure wipes the
// buffer and gives random_failed (operation 2).
uint32_t velsecure_context_random(VelSecureContext_s* context, void* buffer, size_t length,
                                  StatusRecord* status);

// Overwrites buffer through the context's wipe callback, or zeroes it byte by
// byte when there is no context or callback.
void velsecure_context_clear(const VelSecureContext_s* context, void* buffer, size_t length);

// The shared habits of velsecure_ objects: zero-filled allocation (null on
// failure) and wipe-then-free release through the owning context.
void* velsecure_object_alloc(size_t size);
void velsecure_object_free(const VelSecureContext_s* context, void* object, size_t size);
