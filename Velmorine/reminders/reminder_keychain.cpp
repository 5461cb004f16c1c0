#include "Velmorine/reminders/reminder_keychain.h"

#include "Velmorine/reminders/reminder_failure.h"
#include "Velmorine/store/keychain_service.h"

namespace velmorine::reminders {

using platform::KeychainStatus;

ReminderKeychain::ReminderKeychain(platform::Keychain keychain, std::string service,
                                   std::optional<std::string> accessGroup)
    : keychain_(std::move(keychain)),
      service_(std::move(service)),
      accessGroup_(std::move(accessGroup)) {}

ReminderKeychain ReminderKeychain::forApplication() {
  return ReminderKeychain(platform::Keychain::forUser(),
                          store::keychainServiceBase() + kServiceSuffix,
                          store::keychainAccessGroup());
}

platform::KeychainItemAddress ReminderKeychain::address() const {
  return {service_, kAccount, accessGroup_};
}

std::optional<std::vector<uint8_t>> ReminderKeychain::load() {
  const auto result = keychain_.load(address());
  if (result.status == KeychainStatus::itemNotFound) return std::nullopt;
  if (result.status != KeychainStatus::success) throw ReminderFailure::storage();
  return std::vector<uint8_t>(result.data.bytes().begin(), result.data.bytes().end());
}

void ReminderKeychain::save(std::span<const uint8_t> bytes) { store(address(), bytes); }

void ReminderKeychain::setAside(std::span<const uint8_t> bytes) {
  store({service_, kUnreadableAccount, accessGroup_}, bytes);
}

void ReminderKeychain::store(const platform::KeychainItemAddress& address,
                             std::span<const uint8_t> bytes) {
  // Update, else add; an add that finds the item another process added meanwhile updates it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto updated = keychain_.update(address, bytes);
    if (updated == KeychainStatus::success) return;
    if (updated != KeychainStatus::itemNotFound) break;
    const auto added = keychain_.add(address, bytes);
    if (added == KeychainStatus::success) return;
    if (added != KeychainStatus::duplicateItem) break;
  }
  throw ReminderFailure::storage();
}

}  // namespace velmorine::reminders
