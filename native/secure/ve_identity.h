// The device's static Curve25519 key pair as the application holds it in memory.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "native/protocol/ve_error.h"
#include "native/secure/velsecure_handshake.h"

namespace velmorine {

class VEIdentity {
 public:
  static constexpr size_t kSecretLength = 32;

  // A fresh key pair from the system random source.
  static std::expected<std::shared_ptr<VEIdentity>, VEError> generate();
  // The identity of a stored secret; anything but 32 bytes is "invalid_key" (6).
  static std::expected<std::shared_ptr<VEIdentity>, VEError> withSecret(
      std::span<const uint8_t> secret);

  VEIdentity(const VEIdentity&) = delete;
  VEIdentity& operator=(const VEIdentity&) = delete;
  // Wipes the secret.
  ~VEIdentity();

  // A copy of the 32 secret bytes, for the keychain item.
  std::vector<uint8_t> keychainSecret() const;
  // Size 40, the secret and the public key, 32 bytes each; valid while the identity lives.
  VelSecureIdentityView_s identityView() const;
  // The 32-byte public key.
  const std::vector<uint8_t>& publicKey() const { return public_key_; }
  // BLAKE2s-256 of the public key as 64 lower-case hexadecimal characters.
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  VEIdentity() = default;

  std::array<uint8_t, kSecretLength> secret_{};
  std::vector<uint8_t> public_key_;
  std::string fingerprint_;
};

}  // namespace velmorine
