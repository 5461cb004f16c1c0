#pragma once

#include "Velmorine/reminders/reminder_client.h"

namespace velmorine::reminders {

// The client of a device with no reminder service configured. It keeps nothing: it issues and
// holds no grant, takes none from peers, and every reminder fails with `unavailable`;
// configuring it (with a 32-byte key) and revoking succeed, as there is nothing to do. It
// answers at once, on the caller's thread, before each call returns.
class UnconfiguredReminderClient final : public ReminderClient {
 public:
  void configure(std::vector<uint8_t> localPublicKey, Configured done) override;
  void issueGrant(network::AuthenticatedPeer peer, Issued done) override;
  void acceptGrant(std::optional<ReminderGrant> grant, network::AuthenticatedPeer peer,
                   Accepted done) override;
  void receivedGrant(std::string peerID, std::vector<uint8_t> publicKey, Granted done) override;
  void sendReminder(std::string peerID, std::vector<uint8_t> recipientKey, std::string event,
                    std::string kind, Done done) override;
  void revokeGrants(std::string contactID, Done done) override;
};

}  // namespace velmorine::reminders
