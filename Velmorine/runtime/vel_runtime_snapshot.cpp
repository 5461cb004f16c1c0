// Building the snapshot that the interface receives after every change.

#include <unicode/coll.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_name_preferences.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

namespace {

// Peer names sort as a person reads them: case-insensitively, with numbers by their value.
class NameOrder {
 public:
  NameOrder() {
    UErrorCode error = U_ZERO_ERROR;
    collator_.reset(icu::Collator::createInstance(icu::Locale::getDefault(), error));
    if (U_FAILURE(error)) {
      collator_.reset();
      return;
    }
    collator_->setStrength(icu::Collator::SECONDARY);
    collator_->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, error);
  }
  bool less(const std::string& a, const std::string& b) const {
    if (!collator_) return a < b;
    UErrorCode error = U_ZERO_ERROR;
    const auto order = collator_->compareUTF8(a, b, error);
    return U_SUCCESS(error) ? order == UCOL_LESS : a < b;
  }

 private:
  std::unique_ptr<icu::Collator> collator_;
};

}  // namespace

std::string RuntimePeer::symbolName() const {
  if (platform == "macos" || platform == "windows" || platform == "linux") {
    return "desktopcomputer";
  }
  if (platform == "ios" || platform == "android") return "rectangle.stack";
  return "network";
}

bool VelRuntime::isBlocked(const std::string& peerID) const {
  if (!store) return false;
  const auto& trustMap = store->document().trust;
  if (const auto record = trustMap.find(peerID);
      record != trustMap.end() && record->second.blocked) {
    return true;
  }
  const auto record = trustMap.find(contactID(peerID));
  return record != trustMap.end() && record->second.blocked;
}

std::string VelRuntime::contactID(const std::string& peerID) const {
  if (const auto current = active.find(peerID); current != active.end()) {
    if (const auto session = sessions.find(current->second);
        session != sessions.end() && session->second->peer()) {
      return session->second->peer()->contactID;
    }
  }
  if (store) {
    if (const auto peer = directory.peers.find(peerID); peer != directory.peers.end()) {
      const std::string& announced = peer->second.announcement.fingerprint();
      for (const auto& [contact, record] : store->document().trust) {
        if (record.claimedID.to_string() != peerID) continue;
        if (VEProtocol::fingerprint(record.publicKey) == announced) return contact;
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
    row.blocked = isBlocked(deviceID);
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
  const NameOrder names;
  std::ranges::stable_sort(snapshot.peers, [&](const RuntimePeer& a, const RuntimePeer& b) {
    return names.less(a.name, b.name);
  });

  if (store) {
    std::set<std::string> historical = historyPeers;
    for (const auto& message : messages) historical.insert(message.contactID);
    for (const auto& transfer : transfers().transfers()) historical.insert(transfer.contactID);
    historical.insert(outboxWork.begin(), outboxWork.end());
    const auto& document = store->document();
    for (const auto& [contact, record] : document.trust) {
      if (!historical.contains(contact)) continue;
      if (!outboxWork.contains(contact) && document.hiddenHistoricalPeers &&
          document.hiddenHistoricalPeers->contains(contact)) {
        continue;
      }
      if (std::ranges::any_of(snapshot.peers,
                              [&](const RuntimePeer& row) { return row.id == contact; })) {
        continue;
      }
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
    for (const auto& [contact, record] : store->document().trust) {
      if (!record.blocked) snapshot.outboxPeers.insert(contact);
    }
  }
  snapshot.transfers = transferRows();
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
