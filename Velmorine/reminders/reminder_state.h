#pragma once

// Everything the reminder client remembers across launches, as one JSON document: the device's
// registration at the service, the grants it obtained for peers and those peers gave it, and
// the revocations it still owes the service.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_grant.h"

namespace velmorine::reminders {

// A grant with the peer it belongs to: the contact identifier and the peer's 32-byte key.
struct BoundReminderGrant {
  ReminderGrant grant;
  std::string contact;
  std::vector<uint8_t> key;

  friend bool operator==(const BoundReminderGrant&, const BoundReminderGrant&) = default;
};

// This device at the service: the identifier it was given and the owner token that every call
// about the device presents.
struct ReminderRegistration {
  std::string id;
  std::string owner;

  friend bool operator==(const ReminderRegistration&, const ReminderRegistration&) = default;
};

struct ReminderState {
  std::optional<ReminderRegistration> registration;
  std::map<std::string, BoundReminderGrant> issued;    // by contact identifier
  std::map<std::string, BoundReminderGrant> received;  // by the peer's device identifier
  bool revoking = false;  // an unregistration must be finished before the next registration
  std::vector<std::string> revocations;  // routes still to delete at the service, oldest first
  std::optional<std::vector<uint8_t>> localIdentity;  // the key the grants belong to

  friend bool operator==(const ReminderState&, const ReminderState&) = default;
};

// Members in the order above; absent optional members and an empty revocation list are left
// out; bytes as padded Base64.
std::vector<uint8_t> encodeReminderState(const ReminderState& state);

// Throws (nlohmann::json::exception, or std::invalid_argument for bad Base64) when the bytes
// are not a state document: "issued", "received" and "revoking" are required, the rest may be
// missing or null; members this version does not know are passed over.
ReminderState decodeReminderState(std::span<const uint8_t> bytes);

}  // namespace velmorine::reminders
