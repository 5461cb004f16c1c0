#pragma once

// What a peer session needs of the reminder client to hand grants to its peer: the client's
// three grant operations and the NOTIFY_ROUTE JSON. The reminder subsystem implements the
// client; its operations may finish later and on another thread, so each reports through a
// completion, and the session returns to its own queue before it looks at the result.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"

namespace velmorine::network {

// The route and bearer with which the other device may ask the reminder service to wake this
// one, until `expires` (seconds since 1970).
struct ReminderGrant {
  std::string route;
  std::string bearer;
  double expires = 0;

  friend bool operator==(const ReminderGrant&, const ReminderGrant&) = default;
};

class ReminderRouteClient {
 public:
  // An empty error means success.
  using Configured = std::function<void(std::exception_ptr error)>;
  using Issued = std::function<void(std::optional<ReminderGrant> grant, std::exception_ptr error)>;
  using Accepted = std::function<void(bool taken, std::exception_ptr error)>;

  virtual ~ReminderRouteClient() = default;

  // Makes the 32-byte key the client's local identity.
  virtual void configure(std::vector<uint8_t> localPublicKey, Configured done) = 0;
  // A grant bound to the peer's contact, or none.
  virtual void issueGrant(AuthenticatedPeer peer, Issued done) = 0;
  // Files a valid grant from the peer under its device identifier, bound to its contact and
  // key (none withdraws the peer's grant); whether it was taken.
  virtual void acceptGrant(std::optional<ReminderGrant> grant, AuthenticatedPeer peer,
                           Accepted done) = 0;
};

// The NOTIFY_ROUTE JSON: one compact object with sorted keys, "grant" (an object of "bearer",
// "expires" and "route", or null), "major" 2 and "type" "NOTIFY_ROUTE". Throws
// std::invalid_argument for a grant with an empty route or bearer or an expiry that is not a
// finite number.
std::vector<uint8_t> makeNotifyRoute(const std::optional<ReminderGrant>& grant);

// The grant of a received NOTIFY_ROUTE header, or none for a null grant. Throws (the JSON
// reader's error, or std::invalid_argument) unless the header is at most 1024 bytes of one JSON
// object with exactly the members "type" ("NOTIFY_ROUTE"), "major" (the integer 2) and "grant"
// (null, or an object with exactly "route" and "bearer", both text, and "expires", a number),
// and no member named twice at either level. The grant's validity is the client's to check.
std::optional<ReminderGrant> parseNotifyRoute(std::span<const uint8_t> header);

inline constexpr size_t kMaximumNotifyRouteBytes = 1024;

}  // namespace velmorine::network
