#include "native/secure/ve_identity.h"

#include "native/secure/ve_secure_error.h"
#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_identity.h"
#include "native/secure/velsecure_key_codes.h"

namespace velmorine {

namespace {

// Owns a context for the length of one call.
class ScopedContext {
 public:
  uint32_t create() {
    const VelSecurePlatform platform = velsecure_platform_default();
    return velsecure_context_create(&platform, &context_, nullptr);
  }
  ~ScopedContext() { velsecure_context_destroy(context_); }
  VelSecureContext_s* get() const { return context_; }

 private:
  VelSecureContext_s* context_ = nullptr;
};

void wipe_with_default_platform(void* buffer, size_t length) {
  const VelSecurePlatform platform = velsecure_platform_default();
  platform.wipe(platform.context, buffer, length);
}

std::string lower_hex(const uint8_t* bytes, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace

std::expected<std::shared_ptr<VEIdentity>, VEError> VEIdentity::generate() {
  ScopedContext context;
  if (const uint32_t code = context.create()) return std::unexpected(ve_secure_error(code));
  std::array<uint8_t, kSecretLength> secret{};
  std::array<uint8_t, 32> public_key{};
  const uint32_t code =
      velsecure_identity_generate(context.get(), secret.data(), public_key.data(), nullptr);
  auto identity =
      code == VELSECURE_OK ? withSecret(secret) : std::unexpected(ve_secure_error(code));
  wipe_with_default_platform(secret.data(), secret.size());
  return identity;
}

std::expected<std::shared_ptr<VEIdentity>, VEError> VEIdentity::withSecret(
    std::span<const uint8_t> secret) {
  if (secret.size() != kSecretLength) {
    return std::unexpected(ve_secure_error(VELSECURE_INVALID_KEY));
  }
  std::shared_ptr<VEIdentity> identity(new VEIdentity());
  std::copy(secret.begin(), secret.end(), identity->secret_.begin());
  ScopedContext context;
  if (const uint32_t code = context.create()) return std::unexpected(ve_secure_error(code));
  std::array<uint8_t, 32> public_key{};
  if (const uint32_t code = velsecure_identity_public_from_private(
          context.get(), identity->secret_.data(), public_key.data(), nullptr)) {
    return std::unexpected(ve_secure_error(code));
  }
  std::array<uint8_t, 32> fingerprint{};
  if (const uint32_t code =
          velsecure_public_key_fingerprint(public_key.data(), fingerprint.data(), nullptr)) {
    return std::unexpected(ve_secure_error(code));
  }
  identity->public_key_.assign(public_key.begin(), public_key.end());
  identity->fingerprint_ = lower_hex(fingerprint.data(), fingerprint.size());
  return identity;
}

VEIdentity::~VEIdentity() { wipe_with_default_platform(secret_.data(), secret_.size()); }

std::vector<uint8_t> VEIdentity::keychainSecret() const {
  return std::vector<uint8_t>(secret_.begin(), secret_.end());
}

VelSecureIdentityView_s VEIdentity::identityView() const {
  return VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), secret_.data(), kSecretLength,
                                 public_key_.data(), public_key_.size()};
}

}  // namespace velmorine
