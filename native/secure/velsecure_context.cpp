#include "native/secure/velsecure_context.h"

#include <cstdlib>

#include "native/secure/noise/noise_util.h"

namespace {

int default_random(uint64_t /*context*/, void* buffer, size_t length) {
  return velsecure_random_fill(velsecure_random_provider_default(), buffer, length);
}

void zero_bytes(void* buffer, size_t length) {
  volatile auto* bytes = static_cast<volatile uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) bytes[i] = 0;
}

void default_wipe(uint64_t /*context*/, void* buffer, size_t length) { zero_bytes(buffer, length); }

int context_provider_fill(void* context, void* buffer, size_t length) {
  const auto* owner = static_cast<const VelSecureContext_s*>(context);
  return owner->platform.random(owner->platform.context, buffer, length);
}

}  // namespace

VelSecurePlatform velsecure_platform_default() {
  return VelSecurePlatform{sizeof(VelSecurePlatform), kVelSecurePlatformVersion, 0, default_random,
                           default_wipe};
}

uint32_t velsecure_context_create(const VelSecurePlatform* platform, VelSecureContext_s** context,
                                  StatusRecord* status) {
  if (context == nullptr || *context != nullptr || platform == nullptr ||
      platform->size < sizeof(VelSecurePlatform) ||
      platform->version != kVelSecurePlatformVersion || platform->random == nullptr ||
      platform->wipe == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_CONTEXT_CREATE);
  }
  if (noise_init() != 0) {
    return velsecure_fail(status, VELSECURE_SYSTEM_ERROR, VELSECURE_OP_CONTEXT_CREATE);
  }
  auto* created =
      static_cast<VelSecureContext_s*>(velsecure_object_alloc(sizeof(VelSecureContext_s)));
  if (created == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_CONTEXT_CREATE);
  }
  // Only the fields we know are copied: a larger record may come from a newer caller.
  created->platform = *platform;
  created->platform.size = sizeof(VelSecurePlatform);
  created->provider = VelSecureRandomProvider{context_provider_fill, created};
  *context = created;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

void velsecure_context_destroy(VelSecureContext_s* context) {
  if (context == nullptr) return;
  // Copy the callback out first: the wipe overwrites the record that holds it.
  const VelSecurePlatform platform = context->platform;
  platform.wipe(platform.context, context, sizeof(VelSecureContext_s));
  std::free(context);
}

uint32_t velsecure_context_random(VelSecureContext_s* context, void* buffer, size_t length,
                                  StatusRecord* status) {
  if (context == nullptr || (buffer == nullptr && length != 0)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_CONTEXT_RANDOM);
  }
  if (length == 0) {
    velsecure_error_reset(status);
    return VELSECURE_OK;
  }
  if (context->platform.random(context->platform.context, buffer, length) == 0) {
    velsecure_context_clear(context, buffer, length);
    return velsecure_fail(status, VELSECURE_RANDOM_FAILED, VELSECURE_OP_CONTEXT_RANDOM);
  }
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

void velsecure_context_clear(const VelSecureContext_s* context, void* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return;
  if (context != nullptr && context->platform.wipe != nullptr) {
    context->platform.wipe(context->platform.context, buffer, length);
  } else {
    zero_bytes(buffer, length);
  }
}

void* velsecure_object_alloc(size_t size) { return std::calloc(1, size); }

void velsecure_object_free(const VelSecureContext_s* context, void* object, size_t size) {
  if (object == nullptr) return;
  velsecure_context_clear(context, object, size);
  std::free(object);
}
