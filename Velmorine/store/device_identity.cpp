#include "Velmorine/store/device_identity.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "Velmorine/store/local_store.h"
#include "native/secure/ve_identity.h"

namespace velmorine::store {

namespace {

// Zeroes a buffer that held the secret when it goes out of scope, on every path.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::span<std::uint8_t> bytes) : bytes_(bytes) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { ::explicit_bzero(bytes_.data(), bytes_.size()); }

 private:
  std::span<std::uint8_t> bytes_;
};

std::shared_ptr<VEIdentity> identity_or_throw(
    std::expected<std::shared_ptr<VEIdentity>, VEError> made) {
  if (!made) throw SecureIdentityError(std::move(made.error()));
  return std::move(*made);
}

}  // namespace

SystemIdentityKeychain::SystemIdentityKeychain(std::string service,
                                               std::optional<std::string> accessGroup,
                                               platform::Keychain keychain)
    : address_{std::move(service), kIdentityAccount, std::move(accessGroup)},
      keychain_(std::move(keychain)) {}

std::optional<platform::KeychainData> SystemIdentityKeychain::load() {
  auto result = keychain_.load(address_);
  if (result.status == platform::KeychainStatus::itemNotFound) return std::nullopt;
  if (result.status != platform::KeychainStatus::success) {
    throw LocalStoreError::keychain(static_cast<std::int32_t>(result.status));
  }
  return std::move(result.data);
}

void SystemIdentityKeychain::add(std::span<const std::uint8_t> data) {
  const auto status = keychain_.add(address_, data);
  if (status != platform::KeychainStatus::success) {
    throw LocalStoreError::keychain(static_cast<std::int32_t>(status));
  }
}

DeviceIdentity LocalStore::loadOrCreateIdentity(IdentityKeychain& keychain) {
  DeviceIdentity device;
  if (auto item = keychain.load()) {
    // The item's bytes hold the secret: they are wiped when `item` goes, on every path.
    const auto bytes = item->bytes();
    if (bytes.size() != kIdentityItemSize ||
        !std::equal(kIdentityItemMagic.begin(), kIdentityItemMagic.end(), bytes.begin())) {
      throw LocalStoreError::corrupt();
    }
    device.id = identifierFromBytes(bytes.subspan<4, 16>());
    device.identity = identity_or_throw(VEIdentity::withSecret(bytes.subspan(20, 32)));
  } else {
    if (document_.identity) throw LocalStoreError::identityMissing();
    device.id = core::Uuid::random();
    device.identity = identity_or_throw(VEIdentity::generate());
    std::array<std::uint8_t, kIdentityItemSize> buffer{};
    const WipeOnExit wipe_buffer(buffer);
    std::vector<std::uint8_t> secret = device.identity->keychainSecret();
    const WipeOnExit wipe_secret(secret);
    if (secret.size() != 32) throw LocalStoreError::corrupt();
    std::copy(kIdentityItemMagic.begin(), kIdentityItemMagic.end(), buffer.begin());
    std::copy(device.id.bytes().begin(), device.id.bytes().end(), buffer.begin() + 4);
    std::copy(secret.begin(), secret.end(), buffer.begin() + 20);
    keychain.add(buffer);
  }
  const IdentityMetadata metadata{device.id, device.identity->publicKey()};
  if (document_.identity) {
    if (*document_.identity != metadata) throw LocalStoreError::identityMismatch();
    return device;
  }
  update([&](StoreDocument& document) { document.identity = metadata; });
  return device;
}

}  // namespace velmorine::store
