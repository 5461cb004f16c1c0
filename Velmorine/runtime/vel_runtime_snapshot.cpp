// Building the snapshot that the interface receives after every change.

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_name_preferences.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

std::string RuntimePeer::symbolName() const {
  if (platform == "macos" || platform == "windows" || platform == "linux") {
    return "desktopcomputer";
  }
  if (platform == "ios" || platform == "android") return "rectangle.stack";
  return "network";
}

bool VelRuntime::isBlocked(const std::string& peerID) const {
  return isBlocked(peerID, contactID(peerID));
}

bool VelRuntime::isBlocked(const std::string& peerID, const std::string& contact) const {
  if (!store) return false;
  const auto& trustMap = store->document().trust;
  if (const auto record = trustMap.find(peerID);
      record != trustMap.end() && record->second.blocked) {
    return true;
  }
  const auto record = trustMap.find(contact);
  return record != trustMap.end() && record->second.blocked;
}

const TrustIndex* VelRuntime::trustIndex() const {
  if (!store) return nullptr;
  trustIndex_.refresh(*store);
  return &trustIndex_;
}

std::string VelRuntime::contactID(const std::string& peerID) const {
  if (const auto current = active.find(peerID); current != active.end()) {
    if (const auto session = sessions.find(current->second);
        session != sessions.end() && session->second->peer()) {
      return session->second->peer()->contactID;
    }
  }
  if (const auto* index = trustIndex()) {
    if (const auto peer = directory.peers.find(peerID); peer != directory.peers.end()) {
      const std::string& announced = peer->second.announcement.fingerprint();
      for (const auto& claim : index->claimsOf(peerID)) {
        if (claim.fingerprint == announced) return claim.contact;
      }
    }
  }
  return peerID;
}

bool VelRuntime::deviceNameUsesFallback() const {
  if (!store) return false;
  const auto& preferences = store->document().preferences;
  if (!preferences.deviceNaming) return false;
  return store::DeviceNamePreferences::usesFallbackName(preferences, environment_.computerName());
}

void VelRuntime::publishSnapshot() {
  auto snapshot = std::make_shared<RuntimeSnapshot>(buildSnapshot());
  std::weak_ptr<VelRuntime> weak = weakSelf();
  onMain([weak, snapshot] {
    auto self = weak.lock();
    if (self && self->onSnapshot) self->onSnapshot(std::move(*snapshot));
  });
}

RuntimeSnapshot VelRuntime::buildSnapshot() {
  for (const auto& [key, order] : attachmentOutbox().order()) historyOrder[key] = order;

  // The pending message rows are read once for everything this snapshot needs of them.
  const auto pendingMessages = pendingMessageRows();
  std::set<std::string> outboxWork;
  for (const auto& row : pendingMessages) outboxWork.insert(row.record.peer);
  for (const auto& transfer : attachmentOutbox().values()) {
    if (!transfer::isEnded(transfer.state) || transfer.canRetryQueued.value_or(false)) {
      outboxWork.insert(transfer.contactID);
    }
  }

  if (!clearingHistory) {
    persistLiveState();
    trimHistoryWindow(pendingMessages);
  }

  RuntimeSnapshot snapshot;
  snapshot.peers.reserve(directory.peers.size() + (store ? store->document().trust.size() : 0));
  const double now = uptime();
  for (const auto& [deviceID, discovered] : directory.peers) {
    if (deviceListWriteFailures.contains(deviceID)) continue;
    RuntimePeer row;
    row.id = contactID(deviceID);
    row.contactID = row.id;
    row.wireID = deviceID;
    row.name = discovered.announcement.displayName();
    row.platform = discovered.announcement.platform();
    row.online = std::ranges::any_of(discovered.routes, [now](const network::PeerRoute& route) {
      return now - route.lastSeen < network::kRouteFreshness;
    });
    row.routes = discovered.routes;
    row.blocked = isBlocked(deviceID, row.id);
    if (const auto current = active.find(deviceID); current != active.end() && !row.blocked) {
      if (const auto session = sessions.find(current->second);
          session != sessions.end() && session->second->peer()) {
        row.safetyCode = session->second->peer()->safetyCode;
      }
    }
    if (store) {
      const auto& trustMap = store->document().trust;
      if (const auto record = trustMap.find(row.id); record != trustMap.end()) {
        row.verified = record->second.manuallyVerified;
      }
    }
    row.keyChanged = conflicts.contains(deviceID);
    snapshot.peers.push_back(std::move(row));
  }
  peerNames_.sort(snapshot.peers);

  if (store) {
    // Contacts known from the history, the window, transfers or the outbox; the history's
    // peers are looked up in place rather than copied for every snapshot.
    std::set<std::string> live;
    for (const auto& message : messages) live.insert(message.contactID);
    for (const auto& transfer : transfers().transfers()) live.insert(transfer.contactID);
    auto historical = [&](const std::string& contact) {
      return historyPeers.contains(contact) || live.contains(contact) ||
             outboxWork.contains(contact);
    };
    std::unordered_set<std::string> listed;
    for (const auto& row : snapshot.peers) listed.insert(row.id);
    const auto& document = store->document();
    for (const auto& [contact, record] : document.trust) {
      if (!historical(contact)) continue;
      if (!outboxWork.contains(contact) && document.hiddenHistoricalPeers &&
          document.hiddenHistoricalPeers->contains(contact)) {
        continue;
      }
      if (listed.contains(contact)) continue;
      RuntimePeer row;
      row.id = contact;
      row.contactID = contact;
      row.wireID = record.claimedID.to_string();
      row.historical = true;
      row.name = "Velmorine";
      row.platform = "unknown";
      row.blocked = record.blocked;
      row.verified = record.manuallyVerified;
      if (const auto peer = directory.peers.find(row.wireID); peer != directory.peers.end()) {
        row.name = peer->second.announcement.displayName();
        const auto fingerprint = VEProtocol::fingerprint(record.publicKey);
        row.keyChanged = !fingerprint || *fingerprint != peer->second.announcement.fingerprint();
      }
      snapshot.peers.push_back(std::move(row));
    }
  }

  snapshot.localID = localID;
  snapshot.enabled = enabled;
  snapshot.messages = messages;
  snapshot.issues = issues;
  snapshot.historyOrder = historyOrder;
  snapshot.earlierHistory = earlierHistory;
  snapshot.browsingHistory = browsingHistory;
  snapshot.dismissedTransfers = dismissedTransfers;
  if (historyUnavailable) {
    snapshot.status = "storage.unavailable";
  } else if (!deviceListWriteFailures.empty()) {
    snapshot.status = "devices.resetFailed";
  } else {
    snapshot.status = status;
  }
  if (store) {
    snapshot.preferences = store->document().preferences;
    snapshot.received = store->document().received;
    snapshot.outboxPeers = trustIndex()->unblockedContacts();
  }
  snapshot.transfers = transferRows();
  snapshot.transferStamps = transferStamps_.stamp(snapshot.transfers);
  snapshot.recoveryNeeded = !recoveryPending.empty();
  snapshot.liveIncoming = std::move(liveIncoming);
  liveIncoming.clear();
  for (const auto& row : pendingMessages) snapshot.queuedMessageIDs.insert(row.record.id);
  const double wall = wallSeconds();
  for (const auto& [contact, expiry] : reminderExpiry) {
    if (expiry > wall) snapshot.reminderPeers.insert(contact);
  }
  for (const auto& peer : reminderOutbox.waitingPeers()) snapshot.waitingReminderPeers.insert(peer);
  snapshot.deviceNameUsesFallback = deviceNameUsesFallback();
  return snapshot;
}

}  // namespace velmorine::runtime
