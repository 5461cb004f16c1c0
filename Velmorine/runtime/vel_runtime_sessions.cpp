// Sessions: wrapping connections in peer sessions, admitting them once HELLO is through (one
// control session per peer), and undoing that when they close.

#include <algorithm>
#include <cmath>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

namespace {

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

bool isDataSession(const network::SecurePeerSession& session) {
  return session.connection()->channel().purpose() == VEProtocol::kPurposeData;
}

bool shouldTryNextRoute(std::exception_ptr failure) {
  if (!failure) return false;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return network::SecureConnectionFailure::shouldTryNextRoute(error);
  } catch (...) {
    return false;
  }
}

std::optional<std::string> remoteHost(const network::SecurePeerSession& session) {
  const auto& endpoint = session.connection()->endpoint();
  if (!endpoint) return std::nullopt;
  return endpoint->host_text();
}

}  // namespace

std::shared_ptr<network::SecurePeerSession> VelRuntime::attachSession(
    std::shared_ptr<network::SecureConnection> connection, std::optional<std::string> expectedID,
    uint64_t forGeneration) {
  if (!identity || !localID || !trust) {
    connection->close(network::SecureConnectionFailure::closed());
    return nullptr;
  }
  network::SecurePeerSession::Configuration configuration;
  configuration.localID = *localID;
  configuration.localNonce = nonce;
  configuration.identity = identity;
  configuration.expectedID = expectedID;
  configuration.purpose = connection->channel().purpose();
  configuration.reminders = reminders;
  configuration.durableReceipts = durableReceipts && history != nullptr;
  const core::Uuid sessionID = connection->id();
  auto session = network::SecurePeerSession::create(std::move(connection), configuration);

  std::weak_ptr<VelRuntime> weak = weakSelf();
  std::weak_ptr<network::SecurePeerSession> weakSession = session;
  session->lookup = [weak](const std::string& deviceID) -> std::optional<VEAnnouncement> {
    auto self = weak.lock();
    return self ? self->lookupAnnouncement(deviceID) : std::nullopt;
  };
  session->authenticate = [weak](const std::string& deviceID,
                                 std::span<const uint8_t> key) -> std::string {
    auto self = weak.lock();
    if (!self) throw network::SecureConnectionFailure::closed();
    return self->authenticatePeer(deviceID, key);
  };

  sessions[sessionID] = session;
  sessionOrder[sessionID] = nextSessionOrder++;
  if (expectedID) outgoingSessions.insert(sessionID);

  session->onReminderAvailability = [weak](const network::AuthenticatedPeer& peer,
                                           std::optional<network::ReminderGrant> grant) {
    if (auto self = weak.lock()) self->reminderAvailability(peer, grant);
  };
  const std::string attachLocalID = *localID;
  session->onReady = [weak, weakSession, forGeneration, sessionID,
                      attachLocalID](const network::AuthenticatedPeer& peer) {
    auto live = weakSession.lock();
    if (!live) return;
    auto self = weak.lock();
    if (!self) {
      live->close(closedFailure());
      return;
    }
    self->handleSessionReady(peer, live, forGeneration, sessionID, attachLocalID);
  };
  session->onFrame = [weak, weakSession, forGeneration, sessionID](
                         const VEFrame& frame, const network::AuthenticatedPeer& peer) {
    auto self = weak.lock();
    auto live = weakSession.lock();
    if (!self || !live) return;
    self->handleControlFrame(frame, peer, live, forGeneration, sessionID);
  };
  session->onFailure = [weak, weakSession, forGeneration, sessionID, attachLocalID,
                        expectedID](std::exception_ptr failure) {
    auto self = weak.lock();
    if (!self) return;
    self->handleSessionClosed(failure, weakSession.lock(), forGeneration, sessionID, attachLocalID,
                              expectedID);
  };
  session->start();
  return session;
}

bool VelRuntime::makeRoomForIncoming(const std::optional<platform::Endpoint>& remote) {
  // Only incoming sessions that have not authenticated may make way: our own dials and
  // admitted peers stay.
  auto oldestUnauthenticated =
      [&](const std::optional<std::string>& host) -> std::optional<core::Uuid> {
    std::optional<core::Uuid> oldest;
    for (const auto& [id, session] : sessions) {
      if (session->peer() || session->closed() || outgoingSessions.contains(id)) continue;
      if (host && remoteHost(*session) != host) continue;
      if (!oldest || sessionOrder[id] < sessionOrder[*oldest]) oldest = id;
    }
    return oldest;
  };
  auto closeSession = [&](const core::Uuid& id) {
    if (const auto found = sessions.find(id); found != sessions.end()) {
      auto session = found->second;
      session->close(closedFailure());
    }
  };
  if (remote) {
    const std::string host = remote->host_text();
    size_t fromHost = 0;
    for (const auto& [id, session] : sessions) {
      if (!session->peer() && !session->closed() && !outgoingSessions.contains(id) &&
          remoteHost(*session) == host) {
        ++fromHost;
      }
    }
    if (fromHost >= kMaximumUnauthenticatedPerAddress) {
      if (const auto oldest = oldestUnauthenticated(host)) closeSession(*oldest);
    }
  }
  if (sessions.size() >= kMaximumSessions) {
    const auto oldest = oldestUnauthenticated(std::nullopt);
    if (!oldest) return false;
    closeSession(*oldest);
  }
  return sessions.size() < kMaximumSessions;
}

void VelRuntime::handleSessionReady(const network::AuthenticatedPeer& peer,
                                    const std::shared_ptr<network::SecurePeerSession>& session,
                                    uint64_t forGeneration, const core::Uuid& sessionID,
                                    const std::string& attachLocalID) {
  if (!enabled || generation != forGeneration) {
    session->close(closedFailure());
    return;
  }
  if (isDataSession(*session)) {
    transfers().dataSessionReady(session);
    return;
  }
  std::weak_ptr<VelRuntime> weak = weakSelf();
  const std::string peerID = peer.wireID;
  session->connection()->onWritable = [weak, peerID] {
    if (auto self = weak.lock()) self->transfers().streamManifest(peerID);
  };

  // A session of a new process of the device proves the restart that announcements only
  // claim: the old process's sessions go before the new one is admitted.
  if (const auto current = active.find(peerID); current != active.end()) {
    const auto old = sessions.find(current->second);
    if (old != sessions.end() && old->second->peer() && old->second->peer()->nonce != peer.nonce) {
      closeSessionsOfOtherProcess(peerID, peer.nonce);
      if (!sessions.contains(sessionID) || session->closed()) return;
    }
  }

  if (const auto current = active.find(peerID); current != active.end()) {
    const core::Uuid oldID = current->second;
    const auto old = sessions.find(oldID);
    if (oldID != sessionID && old != sessions.end()) {
      const bool localFirst = attachLocalID < peerID;
      const bool oldDialled = outgoingSessions.contains(oldID);
      const bool newDialled = outgoingSessions.contains(sessionID);
      if (oldDialled != newDialled && localFirst == oldDialled) {
        diagnose("control.duplicateRejected");
        session->close(closedFailure());
        return;
      }
      diagnose("control.replaced");
      supersededSessions.insert(oldID);
      // The old session reports its close before `close` returns; it must find itself no
      // longer the peer's, or it would cancel what the peer has in flight.
      active[peerID] = sessionID;
      auto oldSession = old->second;
      oldSession->close(closedFailure());
    }
  }
  diagnose("control.ready");
  active[peerID] = sessionID;
  connecting.erase(peerID);
  if (const auto found = directory.peers.find(peerID); found != directory.peers.end()) {
    found->second.contacted = true;
  }
  reminderOutbox.resolve(peer, uptime());
  sendChatFrame(peerID);
  publishSnapshot();
}

void VelRuntime::closeSessionsOfOtherProcess(const std::string& peerID,
                                             const std::string& newNonce) {
  settlePeerMessages(peerID);
  transfers().cancelPeer(peerID);
  const auto open = sessions;
  for (const auto& [id, session] : open) {
    const auto& authenticated = session->peer();
    if (authenticated && authenticated->wireID == peerID && authenticated->nonce != newNonce) {
      session->close(closedFailure());
    }
  }
  if (ledger) ledger->cancelPeer(peerID);
}

void VelRuntime::handleSessionClosed(std::exception_ptr failure,
                                     const std::shared_ptr<network::SecurePeerSession>& session,
                                     uint64_t forGeneration, const core::Uuid& sessionID,
                                     const std::string& attachLocalID,
                                     const std::optional<std::string>& expectedID) {
  const bool data = session && isDataSession(*session);
  diagnose(data ? "data.closed" : "control.closed");
  std::string peerID;
  if (session && session->peer()) {
    peerID = session->peer()->wireID;
  } else if (expectedID) {
    peerID = *expectedID;
  }
  const bool dialled = outgoingSessions.contains(sessionID);
  const bool superseded = supersededSessions.contains(sessionID);
  supersededSessions.erase(sessionID);
  if (const auto found = sessions.find(sessionID); found != sessions.end()) {
    // The session (and its connection) may still be on the stack that reported the close:
    // its last reference goes on a later turn of the queue.
    queue_->async([released = std::move(found->second)] {});
    sessions.erase(found);
  }
  sessionOrder.erase(sessionID);
  outgoingSessions.erase(sessionID);
  if (data) {
    transfers().dataSessionClosed(sessionID);
    return;
  }
  bool otherControlOpen = false;
  for (const auto& [id, other] : sessions) {
    if (!other->closed() && !isDataSession(*other)) otherControlOpen = true;
  }
  const auto activeEntry = active.find(peerID);
  const bool wasActive =
      !peerID.empty() && activeEntry != active.end() && activeEntry->second == sessionID;
  const bool localFirst = attachLocalID < peerID;
  bool requeue = false;
  bool replacementExpected = false;
  if (superseded && !peerID.empty()) {
    // The peer may close the replaced session without reading what was under way on it (of
    // crossing dials it keeps the other one): that goes again, on the session that replaced it,
    // which has sent nothing yet. Its transfers are left alone.
    if (ledger) ledger->cancelPeer(peerID);
    for (auto& message : messages) {
      if (message.peerID == peerID && message.delivery == MessageDelivery::sending) {
        message.delivery = MessageDelivery::queued;
      }
    }
    requeue = true;
  } else if (wasActive) {
    requeue = true;
    replacementExpected = otherControlOpen || dialled != localFirst;
  }

  if (!peerID.empty()) {
    const auto attempt = connecting.find(peerID);
    if (attempt != connecting.end() && attempt->second.connectionID == sessionID && !superseded &&
        !replacementExpected) {
      if (enabled && generation == forGeneration && shouldTryNextRoute(failure)) {
        onQueueWeakly([peerID](VelRuntime& self) { self.dialPeer(peerID); });
      } else {
        failRouteAttempt(peerID);
      }
    }
  }

  if (wasActive) {
    active.erase(peerID);
    if (ledger) ledger->cancelPeer(peerID);
    transfers().cancelPeer(peerID);
    const bool settle = !superseded && !replacementExpected;
    for (auto& message : messages) {
      if (message.peerID != peerID) continue;
      if (settle) {
        if (message.delivery == MessageDelivery::sending) {
          message.delivery = MessageDelivery::unconfirmed;
        } else if (message.delivery == MessageDelivery::queued && !hasPendingOutboxRow(message)) {
          message.delivery = MessageDelivery::failed;
        }
      } else if (message.delivery == MessageDelivery::sending) {
        message.delivery = MessageDelivery::queued;
      }
    }
    if (!settle && replacementExpected) {
      std::weak_ptr<VelRuntime> weak = weakSelf();
      const uint64_t current = generation;
      queue_->async_after(kRecheckDelay, [weak, peerID, current] {
        if (auto self = weak.lock()) self->recheckPeer(peerID, current);
      });
    }
  }
  if (requeue) requeueSending(peerID);
  publishSnapshot();
}

void VelRuntime::recheckPeer(const std::string& peerID, uint64_t forGeneration) {
  if (!enabled || generation != forGeneration) return;
  if (active.contains(peerID)) {
    sendChatFrame(peerID);
  } else {
    for (auto& message : messages) {
      if (message.peerID == peerID && message.delivery == MessageDelivery::queued &&
          !hasPendingOutboxRow(message)) {
        message.delivery = MessageDelivery::failed;
      }
    }
  }
  publishSnapshot();
}

void VelRuntime::requeueSending(const std::optional<std::string>& peerID) {
  if (!history) return;
  std::vector<ReadableRow> heads;
  try {
    heads = readableOutboxHeads();
  } catch (...) {
    historyUnavailable = true;
    return;
  }
  const double wall = wallSeconds();
  for (auto& [row, message] : heads) {
    if (row.state != store::ConversationOutboxState::sending) continue;
    if (peerID && message.peerID != *peerID) continue;
    try {
      message.delivery = MessageDelivery::queued;
      const double wait =
          std::min(std::pow(2.0, static_cast<double>(std::min<int64_t>(row.attempts, 7))), 300.0);
      const auto record = historyRecord(message);
      history->transitionOutboxEntry(row, store::ConversationOutboxState::uncertain, record,
                                     wall + wait);
      noteMessageWrite(message, record, row.sequence);
    } catch (...) {
      historyUnavailable = true;
    }
  }
  try {
    reconcileOutboxMessages();
  } catch (...) {
    historyUnavailable = true;
  }
}

void VelRuntime::resumeReading() {
  const auto open = sessions;
  for (const auto& [id, session] : open) {
    const auto& connection = session->connection();
    if (connection->onWritable) connection->onWritable();
  }
}

void VelRuntime::outputBudgetAvailable() {
  onQueueWeakly([](VelRuntime& self) { self.resumeReading(); });
}

}  // namespace velmorine::runtime
