// Dialling: one attempt per peer that tries its fresh routes one after another.

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

void VelRuntime::startRouteAttempt(const std::string& peerID) {
  if (!enabled || active.contains(peerID) || connecting.contains(peerID)) return;
  if (isBlocked(peerID) || conflicts.contains(peerID)) return;
  const auto peer = directory.peers.find(peerID);
  if (peer == directory.peers.end()) return;
  connecting.emplace(peerID, network::PeerRouteAttempt(peer->second.routes, uptime()));
  dialPeer(peerID);
}

void VelRuntime::dialPeer(const std::string& peerID) {
  const auto attempt = connecting.find(peerID);
  if (attempt == connecting.end()) return;
  if (!enabled || active.contains(peerID) || isBlocked(peerID) || conflicts.contains(peerID) ||
      sessions.size() >= kMaximumSessions || !identity) {
    failRouteAttempt(peerID);
    return;
  }
  std::optional<std::vector<network::PeerRoute>> currentRoutes;
  if (const auto peer = directory.peers.find(peerID); peer != directory.peers.end()) {
    currentRoutes = peer->second.routes;
  }
  const auto route = attempt->second.next(currentRoutes, uptime());
  if (!route) {
    failRouteAttempt(peerID);
    return;
  }
  std::shared_ptr<network::SecureConnection> connection;
  try {
    connection = network::SecureConnection::dial(
        route->host, route->port, identity, VEProtocol::kPurposeControl, *queue_, networkBudget);
  } catch (...) {
    failRouteAttempt(peerID);
    return;
  }
  attempt->second.connectionID = connection->id();
  // A session that fails at once reports through its close, which moves the attempt on.
  if (!attachSession(std::move(connection), peerID, generation)) failRouteAttempt(peerID);
}

void VelRuntime::failRouteAttempt(const std::string& peerID) {
  connecting.erase(peerID);
  if (!active.contains(peerID)) {
    for (auto& message : messages) {
      if (message.peerID == peerID && message.delivery == MessageDelivery::queued &&
          !hasPendingOutboxRow(message)) {
        message.delivery = MessageDelivery::failed;
      }
    }
  }
  publishSnapshot();
}

}  // namespace velmorine::runtime
