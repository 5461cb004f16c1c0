// Settings: networking on and off, preferences, the device name, hidden transfers and the
// device-list reset.

#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/store/local_store_error.h"

namespace velmorine::runtime {

void VelRuntime::reannounce() {
  if (discovery) discovery->sendAnnouncement();
}

void VelRuntime::setNetworkEnabledOnQueue(bool value) {
  if (shuttingDown || !store) return;
  try {
    store->update(
        [value](store::StoreDocument& document) { document.preferences.networkEnabled = value; });
  } catch (...) {
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  if (value) {
    startNetwork();
  } else {
    stopNetwork(true);
  }
}

void VelRuntime::updatePreferencesOnQueue(
    const std::function<void(store::AppPreferences&)>& change) {
  if (!store) return;
  const auto computer = environment_.computerName();
  try {
    store->update([&](store::StoreDocument& document) {
      auto& preferences = document.preferences;
      const bool networkEnabled = preferences.networkEnabled;
      const std::string displayName = preferences.displayName;
      change(preferences);
      preferences.networkEnabled = networkEnabled;  // only setNetworkEnabled changes it
      if (preferences.displayName != displayName) {
        const auto normalized =
            store::DeviceNamePreferences::normalizedName(preferences.displayName);
        if (!normalized) throw store::LocalStoreError::corrupt();
        if (preferences.deviceNaming) {
          preferences.deviceNaming->customName = normalized;
          preferences.deviceNaming->hintDismissed = true;
        }
      }
      store::DeviceNamePreferences::effectiveName(computer, preferences);
    });
  } catch (...) {
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  reannounce();
  publishSnapshot();
}

void VelRuntime::refreshDeviceNameOnQueue() {
  if (!store) return;
  auto preferences = store->document().preferences;
  store::DeviceNamePreferences::effectiveName(environment_.computerName(), preferences);
  if (preferences == store->document().preferences) return;
  try {
    store->update([&](store::StoreDocument& document) { document.preferences = preferences; });
  } catch (...) {
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  reannounce();
  publishSnapshot();
}

bool VelRuntime::renameDeviceOnQueue(const std::optional<std::string>& name) {
  if (!store) return false;
  std::optional<std::string> normalized;
  if (name) {
    normalized = store::DeviceNamePreferences::normalizedName(*name);
    if (!normalized) return false;
  }
  const auto computer = environment_.computerName();
  try {
    store->update([&](store::StoreDocument& document) {
      store::DeviceNamePreferences::rename(normalized, computer, document.preferences);
    });
  } catch (...) {
    return false;
  }
  reannounce();
  publishSnapshot();
  return true;
}

bool VelRuntime::hideEndedTransfersOnQueue(const TransferSelection& selection) {
  if (!history) return false;
  try {
    for (const auto& transfer : transfers().transfers()) saveTransferState(transfer, true);
  } catch (...) {
    // The history is told below what to hide; a failed save shows as its own failure later.
  }
  try {
    dismissedTransfers =
        history->hideEndedTransfers(selection.peer, selection.transferID, {}, true);
  } catch (...) {
    return false;
  }
  publishSnapshot();
  return true;
}

bool VelRuntime::resetDevicesOnQueue() {
  if (shuttingDown || !store) return false;
  try {
    store->update([&](store::StoreDocument& document) {
      auto hidden = document.hiddenHistoricalPeers.value_or(std::set<std::string>{});
      for (const auto& [contact, record] : document.trust) hidden.insert(contact);
      hidden.insert(historyPeers.begin(), historyPeers.end());
      for (const auto& message : messages) hidden.insert(message.contactID);
      document.hiddenHistoricalPeers = std::move(hidden);
    });
  } catch (...) {
    return false;
  }
  deviceListWriteFailures.clear();
  std::set<std::string> inUse;
  for (const auto& [peer, session] : active) inUse.insert(peer);
  for (const auto& [peer, attempt] : connecting) inUse.insert(peer);
  for (const auto& transfer : transfers().transfers()) {
    if (!transfer::isEnded(transfer.state)) inUse.insert(transfer.peerID);
  }
  for (const auto& peer : reminderOutbox.waitingPeers()) inUse.insert(peer);
  std::erase_if(directory.peers, [&](const auto& entry) { return !inUse.contains(entry.first); });
  reannounce();
  publishSnapshot();
  return true;
}

}  // namespace velmorine::runtime
