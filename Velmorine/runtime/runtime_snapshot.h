#pragma once

// The immutable picture of the runtime that the interface receives after every change.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/network/peer_directory.h"
#include "Velmorine/runtime/runtime_message.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/runtime_transfer.h"

namespace velmorine::runtime {

struct RuntimePeer {
  std::string id;  // the contact identifier
  std::string wireID;
  bool historical = false;  // known only from the history
  std::string name;
  std::string platform;  // "unknown" for historical rows
  bool online = false;
  std::vector<network::PeerRoute> routes;
  std::optional<std::string> safetyCode;
  bool blocked = false;
  bool verified = false;
  bool keyChanged = false;
  std::string contactID;  // the same as `id`

  // The system symbol the interface shows for the platform.
  std::string symbolName() const;

  friend bool operator==(const RuntimePeer&, const RuntimePeer&) = default;
};

struct RuntimeSnapshot {
  std::optional<std::string> localID;
  std::string status;
  bool enabled = false;
  std::vector<RuntimePeer> peers;
  std::vector<RuntimeMessage> messages;
  std::vector<network::DiscoveryIssue> issues;
  store::AppPreferences preferences;
  std::vector<transfer::RuntimeTransfer> transfers;
  // Beside each transfer, a stamp of its value: a transfer of a later snapshot of the same
  // runtime with the same nonzero stamp equals this one. Empty (or of another length) for a
  // snapshot made without them; views then compare the values.
  std::vector<uint64_t> transferStamps;
  std::vector<store::ReceiveIndexEntry> received;
  bool recoveryNeeded = false;
  std::map<std::string, int64_t> historyOrder;
  std::set<std::string> earlierHistory;
  std::set<std::string> browsingHistory;
  std::optional<std::set<std::string>> liveIncoming;
  std::set<std::string> queuedMessageIDs;
  std::set<std::string> outboxPeers;
  std::set<std::string> reminderPeers;
  std::set<std::string> waitingReminderPeers;
  std::set<std::string> dismissedTransfers;
  bool deviceNameUsesFallback = false;
};

}  // namespace velmorine::runtime
