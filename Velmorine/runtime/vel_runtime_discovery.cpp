// The one-second heartbeat, the runtime's side of discovery, and the hooks every peer session
// calls while it checks HELLO.

#include "Velmorine/network/network_status.h"
#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/network/trust_failure.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

namespace {

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

bool hasFreshRoute(const network::DiscoveredPeer& peer, double now) {
  for (const auto& route : peer.routes) {
    if (now - route.lastSeen < network::kRouteFreshness) return true;
  }
  return false;
}

}  // namespace

void VelRuntime::timerTick() {
  if (!enabled) return;
  const double now = uptime();
  reminderOutbox.expire(now);
  if (nextReminderDial <= now) {
    nextReminderDial = now + kFiveSecondWork;
    pumpOutbox();
    for (const auto& peerID : reminderOutbox.waitingPeers()) {
      const auto peer = directory.peers.find(peerID);
      if (peer != directory.peers.end() && hasFreshRoute(peer->second, now)) {
        startRouteAttempt(peerID);
      }
    }
  }
  const double pruneAt = uptime();
  std::erase_if(directory.peers,
                [pruneAt](const auto& entry) { return !entry.second.isPresent(pruneAt); });
  transfers().tick();
  if (ledger) {
    for (const auto& expired : ledger->expire()) {
      for (auto& message : messages) {
        if (message.id == expired.message_id && message.peerID == expired.peer_id) {
          message.delivery = MessageDelivery::unconfirmed;
          const std::string peerID = message.peerID;
          requeueSending(peerID);
          break;
        }
      }
    }
  }
  publishSnapshot();
}

std::optional<std::vector<uint8_t>> VelRuntime::makeAnnouncement() {
  if (!localID || !identity || !listener || listener->port() == 0) return std::nullopt;
  ++sequence;
  const std::string name = store ? store->document().preferences.displayName : "Velmorine Mac";
  return VEProtocol::discoveryWithID(*localID, name, identity->fingerprint(), nonce,
                                     listener->port(), kAnnouncementCapabilities, sequence);
}

bool VelRuntime::hasOpenAuthenticatedSession(const std::string& peerID) const {
  for (const auto& [id, session] : sessions) {
    if (!session->closed() && session->peer() && session->peer()->wireID == peerID) return true;
  }
  return false;
}

void VelRuntime::handleDiscovery(const std::vector<uint8_t>& datagram, const std::string& host,
                                 const std::string& interface) {
  if (!enabled || !localID) return;
  const auto announcement = VEProtocol::parseDiscovery(datagram, *localID);
  if (!announcement) return;
  bool stored = false;
  const std::string deviceID = announcement->deviceID();
  const bool processChanged = directory.upsert(
      *announcement, host, interface, [&stored] { stored = true; }, uptime());
  if (processChanged) {
    diagnose("discovery.processChanged");
    // Anyone on the link can send an announcement with a new nonce; only a session of the new
    // process proves a restart, so a device with an authenticated session keeps it.
    if (!hasOpenAuthenticatedSession(deviceID)) resetPeer(deviceID);
  }
  if (stored) {
    if (store) {
      try {
        store->unhidePeers(deviceID, announcement->fingerprint());
        deviceListWriteFailures.erase(deviceID);
      } catch (...) {
        deviceListWriteFailures.insert(deviceID);
      }
    } else {
      deviceListWriteFailures.erase(deviceID);
    }
  }
  publishSnapshot();
}

void VelRuntime::resetPeer(const std::string& peerID) {
  settlePeerMessages(peerID);
  if (const auto attempt = connecting.find(peerID); attempt != connecting.end()) {
    const auto connectionID = attempt->second.connectionID;
    connecting.erase(attempt);
    if (connectionID) {
      if (const auto found = sessions.find(*connectionID); found != sessions.end()) {
        auto session = found->second;
        session->close(closedFailure());
      }
    }
  }
  transfers().cancelPeer(peerID);
  const auto open = sessions;
  for (const auto& [id, session] : open) {
    if (session->peer() && session->peer()->wireID == peerID) session->close(closedFailure());
  }
  if (ledger) ledger->cancelPeer(peerID);
}

void VelRuntime::settlePeerMessages(const std::optional<std::string>& peerID) {
  requeueSending(peerID);
  for (auto& message : messages) {
    if (peerID && message.peerID != *peerID) continue;
    if (message.delivery != MessageDelivery::sending &&
        message.delivery != MessageDelivery::queued) {
      continue;
    }
    if (hasPendingOutboxRow(message)) continue;
    message.delivery = message.delivery == MessageDelivery::sending ? MessageDelivery::unconfirmed
                                                                    : MessageDelivery::failed;
  }
}

void VelRuntime::interfacesChanged(const std::vector<network::DiscoveryInterface>& interfaces) {
  diagnose("discovery.interfacesChanged");
  directory.updateInterfaces(interfaces);
  const auto open = sessions;
  for (const auto& [id, session] : open) {
    if (!session->connection()->isOnInterfaces(interfaces)) session->close(closedFailure());
  }
}

void VelRuntime::discoveryStatus(const std::vector<network::DiscoveryIssue>& found,
                                 size_t interfaceCount, size_t channels) {
  issues = found;
  status = network::networkStatusKey(found, interfaceCount, channels);
  publishSnapshot();
}

std::optional<VEAnnouncement> VelRuntime::lookupAnnouncement(const std::string& deviceID) const {
  const auto peer = directory.peers.find(deviceID);
  if (peer == directory.peers.end()) return std::nullopt;
  return peer->second.announcement;
}

std::string VelRuntime::authenticatePeer(const std::string& claimedID,
                                         std::span<const uint8_t> key) {
  if (!trust) throw network::SecureConnectionFailure::closed();
  try {
    return trust->admit(claimedID, key);
  } catch (const network::TrustFailure& failure) {
    if (failure.failure() != network::TrustFailure::Case::changedKey) throw;
    conflicts[claimedID] = std::vector<uint8_t>(key.begin(), key.end());
    status = "trust.changedKey";
    if (store && reminders) {
      const std::string claimed = lowered(claimedID);
      for (const auto& [contact, record] : store->document().trust) {
        if (record.claimedID.to_string() == claimed) {
          reminders->revokeGrants(contact, [](std::exception_ptr) {});
        }
      }
    }
    throw;
  }
}

void VelRuntime::reminderAvailability(const network::AuthenticatedPeer& peer,
                                      const std::optional<network::ReminderGrant>& grant) {
  if (grant) {
    reminderExpiry[peer.contactID] = grant->expires;
  } else {
    reminderExpiry.erase(peer.contactID);
  }
  publishSnapshot();
}

}  // namespace velmorine::runtime
