#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "native/protocol/uuid.h"
#include "native/protocol/ve_error.h"
#include "platform/keychain/keychain.h"

namespace velmorine {
class VEIdentity;
}

namespace velmorine::store {

// The identity item's data: "VEI1", the identifier's 16 bytes, the 32-byte X25519 secret.
inline constexpr std::size_t kIdentityItemSize = 52;
inline constexpr std::string_view kIdentityItemMagic = "VEI1";
inline constexpr const char* kIdentityAccount = "identity-v1";

// The keychain as the store reaches it for the identity item: read it and add it, nothing else.
class IdentityKeychain {
 public:
  virtual ~IdentityKeychain() = default;
  // The item's data (wiped when released), or nothing when there is no item. Throws
  // LocalStoreError::keychain with the status of a failed read.
  virtual std::optional<platform::KeychainData> load() = 0;
  // Adds the item; throws LocalStoreError::keychain with the status of a failed add (an item that
  // exists already gives the duplicate-item status).
  virtual void add(std::span<const std::uint8_t> data) = 0;
};

// The identity item in the user's keychain, under `service` and the account "identity-v1".
class SystemIdentityKeychain final : public IdentityKeychain {
 public:
  SystemIdentityKeychain(std::string service, std::optional<std::string> accessGroup,
                         platform::Keychain keychain = platform::Keychain::forUser());

  std::optional<platform::KeychainData> load() override;
  void add(std::span<const std::uint8_t> data) override;

  const std::string& service() const { return address_.service; }
  const std::optional<std::string>& accessGroup() const { return address_.accessGroup; }

 private:
  platform::KeychainItemAddress address_;
  platform::Keychain keychain_;
};

// What LocalStore::loadOrCreateIdentity hands back: the device identifier and its identity.
struct DeviceIdentity {
  core::Uuid id;
  std::shared_ptr<VEIdentity> identity;
};

// A failure of the identity object itself (the secure layer's error, domain "<product>.secure").
class SecureIdentityError : public std::runtime_error {
 public:
  explicit SecureIdentityError(VEError error)
      : std::runtime_error(error.domain + " " + std::to_string(error.code) + " " +
                           error.description),
        error_(std::move(error)) {}
  const VEError& error() const { return error_; }

 private:
  VEError error_;
};

}  // namespace velmorine::store
