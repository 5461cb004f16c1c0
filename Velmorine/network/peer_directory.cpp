#include "Velmorine/network/peer_directory.h"

#include <algorithm>
#include <set>

namespace velmorine::network {

namespace {

bool fresh(const PeerRoute& route, double now) { return now - route.lastSeen < kRouteFreshness; }

std::string host_and_port(const PeerRoute& route) {
  return route.host + ":" + std::to_string(route.port);
}

}  // namespace

bool DiscoveredPeer::isPresent(double now) const {
  if (contacted) return true;
  return std::any_of(routes.begin(), routes.end(), [now](const PeerRoute& route) {
    return now - route.lastSeen < kPeerPresence;
  });
}

bool PeerDirectory::upsert(const VEAnnouncement& announcement, const std::string& host,
                           const std::string& interface, const std::function<void()>& stored,
                           double now) {
  const auto& key = announcement.deviceID();
  auto found = peers.find(key);
  // A new device always gets stored once it has a place (its route list is empty), so the
  // place is made before anything else.
  if (found == peers.end() && peers.size() >= maximumPeers && !makeRoom()) return false;

  DiscoveredPeer entry =
      found != peers.end() ? found->second : DiscoveredPeer{announcement, {}, false};

  // A new process (or a new key under the same process) starts its routes afresh, so its
  // restarted sequence is not mistaken for a stale one.
  const bool reset = entry.announcement.nonce() != announcement.nonce() ||
                     entry.announcement.fingerprint() != announcement.fingerprint();
  if (reset) entry.routes.clear();

  const auto port = static_cast<uint16_t>(announcement.port());
  auto route = std::find_if(entry.routes.begin(), entry.routes.end(), [&](const PeerRoute& r) {
    return r.host == host && r.port == port && r.interface == interface;
  });
  if (route != entry.routes.end()) {
    if (route->sequence >= announcement.sequence()) return false;
    *route = PeerRoute{host, port, interface, now, announcement.sequence()};
  } else {
    if (entry.routes.size() >= kMaximumRoutesPerPeer) return false;
    entry.routes.push_back(PeerRoute{host, port, interface, now, announcement.sequence()});
  }

  entry.announcement = announcement;
  entry.lastHeard = now;
  std::optional<double> previous;
  if (found != peers.end()) {
    previous = found->second.lastHeard;
    found->second = std::move(entry);
  } else {
    peers.emplace(key, std::move(entry));
  }
  noteHearing(key, previous, now);
  if (stored) stored();
  return reset;
}

void PeerDirectory::noteHearing(const std::string& deviceID, std::optional<double> previous,
                                double now) {
  if (previous) hearings_.erase({*previous, deviceID});
  hearings_.emplace(now, deviceID);
  if (hearings_.size() > 2 * peers.size() + 64) reindex();
}

void PeerDirectory::reindex() {
  hearings_.clear();
  for (const auto& [id, peer] : peers) hearings_.emplace(peer.lastHeard, id);
}

bool PeerDirectory::makeRoom() {
  for (auto it = hearings_.begin(); it != hearings_.end();) {
    const auto& [heard, id] = *it;
    const auto peer = peers.find(id);
    if (peer == peers.end() || peer->second.lastHeard != heard) {
      it = hearings_.erase(it);  // pruned by the owner, or heard again since
    } else if (isProtected && isProtected(id)) {
      ++it;
    } else {
      peers.erase(peer);
      hearings_.erase(it);
      return true;
    }
  }
  return false;
}

void PeerDirectory::updateInterfaces(const std::vector<DiscoveryInterface>& newInterfaces) {
  std::set<std::string> kept;
  for (const auto& old : interfaces) {
    const bool still_there = std::any_of(
        newInterfaces.begin(), newInterfaces.end(), [&](const DiscoveryInterface& current) {
          return current.name == old.name && current.index == old.index &&
                 current.address == old.address;
        });
    if (still_there) kept.insert(old.name);
  }
  for (auto& [id, peer] : peers) {
    std::erase_if(peer.routes,
                  [&](const PeerRoute& route) { return !kept.contains(route.interface); });
  }
  interfaces = newInterfaces;
}

void PeerDirectory::clearRoutes() {
  interfaces.clear();
  for (auto& [id, peer] : peers) peer.routes.clear();
}

std::optional<PeerRoute> PeerDirectory::matchInbound(
    const std::optional<platform::Endpoint>& endpoint, bool portMustMatch,
    const std::vector<PeerRoute>& routes, double now) {
  if (!endpoint) return std::nullopt;
  const std::string host = endpoint->host_text();
  const PeerRoute* best = nullptr;
  for (const auto& route : routes) {
    if (route.host != host || !fresh(route, now)) continue;
    if (portMustMatch && route.port != endpoint->port) continue;
    if (best == nullptr || route.lastSeen > best->lastSeen ||
        (route.lastSeen == best->lastSeen && route.sequence > best->sequence)) {
      best = &route;
    }
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

PeerRouteAttempt::PeerRouteAttempt(const std::vector<PeerRoute>& routes, double now) {
  std::set<std::string> dialled;
  for (const auto& route : routes) {
    if (!fresh(route, now)) continue;
    if (!dialled.insert(host_and_port(route)).second) continue;
    remaining.push_back(route);
  }
}

std::optional<PeerRoute> PeerRouteAttempt::next(
    const std::optional<std::vector<PeerRoute>>& currentRoutes, double now) {
  while (!remaining.empty()) {
    PeerRoute candidate = remaining.front();
    remaining.erase(remaining.begin());
    if (currentRoutes) {
      const auto current = std::find_if(
          currentRoutes->begin(), currentRoutes->end(),
          [&](const PeerRoute& r) { return r.host == candidate.host && r.port == candidate.port; });
      if (current == currentRoutes->end()) continue;  // dropped since the attempt began
      candidate = *current;
    }
    if (fresh(candidate, now)) return candidate;
  }
  return std::nullopt;
}

}  // namespace velmorine::network
