#pragma once

// The reminder state as a generic-password keychain item: the keychain service base followed
// by ".notifications", account "reminders-v1". A document set aside goes to the account
// "reminders-v1.unreadable" of the same service.

#include <optional>
#include <string>

#include "Velmorine/reminders/reminder_storage.h"
#include "platform/keychain/keychain.h"

namespace velmorine::reminders {

class ReminderKeychain final : public ReminderStorage {
 public:
  ReminderKeychain(platform::Keychain keychain, std::string service,
                   std::optional<std::string> accessGroup);

  // The application's item: in the user's keychain, under the running bundle's service base
  // and access group.
  static ReminderKeychain forApplication();

  std::optional<std::vector<uint8_t>> load() override;
  void save(std::span<const uint8_t> bytes) override;
  void setAside(std::span<const uint8_t> bytes) override;

  platform::KeychainItemAddress address() const;

  static constexpr const char* kServiceSuffix = ".notifications";
  static constexpr const char* kAccount = "reminders-v1";
  static constexpr const char* kUnreadableAccount = "reminders-v1.unreadable";

 private:
  void store(const platform::KeychainItemAddress& address, std::span<const uint8_t> bytes);

  platform::Keychain keychain_;
  std::string service_;
  std::optional<std::string> accessGroup_;
};

}  // namespace velmorine::reminders
