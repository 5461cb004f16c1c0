#pragma once

// The session's half of handing reminder grants across an authenticated control session:
// offering this device's grant in a NOTIFY_ROUTE frame, and passing a received grant to the
// reminder client and its outcome to the owner. The reminder client may answer later and on
// another thread; each step returns to the session's queue and checks that the session is
// still there, still open and, for an offer, still with the same peer, before it touches it.
// A failure of the reminder client ends the step without a report.

#include <memory>
#include <optional>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::network {

class SecurePeerSession;

class ReminderRouteExchange {
 public:
  // After the session became ready; nothing unless reminder routes were negotiated.
  static void offer(const std::shared_ptr<SecurePeerSession>& session);
  // For a NOTIFY_ROUTE frame that passed the session's checks.
  static void accept(const std::shared_ptr<SecurePeerSession>& session,
                     std::optional<ReminderGrant> grant);
};

}  // namespace velmorine::network
