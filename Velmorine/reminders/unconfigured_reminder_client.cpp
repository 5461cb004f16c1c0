#include "Velmorine/reminders/unconfigured_reminder_client.h"

#include "Velmorine/reminders/reminder_failure.h"

namespace velmorine::reminders {

namespace {

constexpr size_t kIdentityKeyBytes = 32;

}  // namespace

void UnconfiguredReminderClient::configure(std::vector<uint8_t> localPublicKey, Configured done) {
  if (localPublicKey.size() != kIdentityKeyBytes) {
    done(std::make_exception_ptr(ReminderFailure::invalid()));
    return;
  }
  done(nullptr);
}

void UnconfiguredReminderClient::issueGrant(network::AuthenticatedPeer, Issued done) {
  done(std::nullopt, nullptr);
}

void UnconfiguredReminderClient::acceptGrant(std::optional<ReminderGrant>,
                                             network::AuthenticatedPeer, Accepted done) {
  done(false, nullptr);
}

void UnconfiguredReminderClient::receivedGrant(std::string, std::vector<uint8_t>, Granted done) {
  done(std::nullopt, nullptr);
}

void UnconfiguredReminderClient::sendReminder(std::string, std::vector<uint8_t>, std::string,
                                              std::string, Done done) {
  // Whatever the event and kind, there is no grant to post it with.
  done(std::make_exception_ptr(ReminderFailure::unavailable()));
}

void UnconfiguredReminderClient::revokeGrants(std::string, Done done) { done(nullptr); }

}  // namespace velmorine::reminders
