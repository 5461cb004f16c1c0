#pragma once

// What the runtime needs of the reminder client, beyond what a peer session needs to hand
// grants across: the grant a contact gave this device, posting a reminder with it, and
// revoking the grants this device gave a contact. Like the session's half, every operation
// may answer later and on any thread (or at once, before it returns); callers go back to their
// own queue before they look at the answer. Failures are ReminderFailure unless an operation
// says otherwise.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::reminders {

using network::ReminderGrant;

// The two kinds of reminder the service accepts.
inline constexpr std::string_view kReminderKindMessage = "message";
inline constexpr std::string_view kReminderKindFile = "file";
bool isReminderKind(std::string_view kind);

class ReminderClient : public network::ReminderRouteClient {
 public:
  using Granted = std::function<void(std::optional<ReminderGrant> grant, std::exception_ptr error)>;
  // An empty error means success.
  using Done = std::function<void(std::exception_ptr error)>;

  // The valid grant that the peer with this device identifier and key gave this device, or
  // none. (Grants are filed by the device identifier of the peer that handed them over.)
  virtual void receivedGrant(std::string peerID, std::vector<uint8_t> publicKey, Granted done) = 0;
  // Posts one reminder with that peer's grant: `event` is UUID text (a waiting message's
  // identifier), `kind` one of the two kinds. Succeeds once the service took it; no usable
  // grant, a bad event or an unknown kind fail with `unavailable`.
  virtual void sendReminder(std::string peerID, std::vector<uint8_t> recipientKey,
                            std::string event, std::string kind, Done done) = 0;
  // Revokes the grant this device gave the contact and forgets those the contact's devices gave
  // this device; revocations the service does not take stay owed for later.
  virtual void revokeGrants(std::string contactID, Done done) = 0;
};

}  // namespace velmorine::reminders
