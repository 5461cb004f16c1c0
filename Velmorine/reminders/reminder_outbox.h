#pragma once

// Peers the runtime asked the reminder service to wake, each waiting until a deadline on the
// runtime's uptime clock. Every item ends exactly once: the right peer connecting in time runs
// its `send`, anything else its `reject`. An item leaves the outbox before its closure runs, so
// a closure may use the outbox again. Confined to the runtime's queue; no lock.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"

namespace velmorine::reminders {

class ReminderOutbox {
 public:
  struct Item {
    std::string id;            // the peer's device identifier, the item's key
    std::string contact;       // the contact the peer must have
    std::vector<uint8_t> key;  // the public key the peer must present
    double deadline = 0;       // uptime seconds after which the wait has failed
    std::function<void()> send;
    std::function<void()> reject;
  };

  // Files the item under its id. An item already filed there is replaced and rejected.
  void file(Item item);

  // The waiting peers' device identifiers, in ascending order.
  std::vector<std::string> waitingPeers() const;
  const Item* item(const std::string& peerID) const;
  bool empty() const { return items_.empty(); }

  // For a peer whose session just became ready: its item runs `send` when `now` is before the
  // deadline and the contact and key match, `reject` otherwise.
  void resolve(const network::AuthenticatedPeer& peer, double now);
  // Ends the peer's item with `reject`, unless a contact is given and differs from the item's.
  void reject(const std::string& peerID, const std::optional<std::string>& contact);
  // Rejects every item present at the call whose deadline is at or before `now`.
  void expire(double now);
  // Empties the outbox, then rejects every item that was in it.
  void rejectAll();

 private:
  struct Filed {
    Item item;
    uint64_t serial = 0;  // tells an item from a later one filed under the same id
  };

  // Removes the peer's item and hands it over, or nothing.
  std::optional<Item> take(const std::string& peerID);

  std::map<std::string, Filed> items_;
  uint64_t nextSerial_ = 0;
};

}  // namespace velmorine::reminders
