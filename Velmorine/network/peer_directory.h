#pragma once

// The runtime's memory of what discovery heard: for each announced device its latest
// announcement and the routes (sender address, announced port, receiving interface) it was
// heard on, with freshness, presence and the route order for dialling. A plain value confined
// to the runtime's queue; times are the system uptime in seconds, passed in by the caller.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_announcement.h"
#include "platform/net/endpoint.h"

namespace velmorine::network {

inline constexpr size_t kMaximumPeers = 512;
inline constexpr size_t kMaximumRoutesPerPeer = 16;
inline constexpr double kRouteFreshness = 10.0;
inline constexpr double kPeerPresence = 60.0;

struct PeerRoute {
  std::string host;       // the sender's dotted IPv4 address as received
  uint16_t port = 0;      // the announced TCP port
  std::string interface;  // the interface the announcement arrived on
  double lastSeen = 0;    // uptime of the last accepted hearing
  uint64_t sequence = 0;  // announcement sequence of that hearing

  friend bool operator==(const PeerRoute&, const PeerRoute&) = default;
};

struct DiscoveredPeer {
  VEAnnouncement announcement;
  std::vector<PeerRoute> routes;  // at most 16, in the order first heard
  bool contacted = false;         // set by the runtime; kept across rewrites
  // Uptime of the last accepted announcement; kept by the directory. Unlike the routes it
  // survives route clearing, so a full directory can always tell which entry was heard least
  // recently.
  double lastHeard = 0;

  // Contacted, or heard on some route within the last 60 seconds.
  bool isPresent(double now) const;
};

// The routes of one dialling attempt, tried one after another.
struct PeerRouteAttempt {
  // The fresh routes (heard within 10 seconds), in stored order, each host and port once.
  PeerRouteAttempt(const std::vector<PeerRoute>& routes, double now);

  // The next route still worth dialling, taking its current copy from `currentRoutes` when
  // given (a route no longer among them is skipped), or nothing when none is left.
  std::optional<PeerRoute> next(const std::optional<std::vector<PeerRoute>>& currentRoutes,
                                double now);

  std::vector<PeerRoute> remaining;
  std::optional<core::Uuid> connectionID;  // set by the runtime
};

struct PeerDirectory {
  // Records an announcement heard from `host` on `interface`. True when the peer's process
  // changed (nonce, or fingerprint under the same nonce), which empties its routes. A full
  // route list and a stale sequence refuse silently; so does a full directory (for a new
  // device) when every entry is protected. Otherwise a new device in a full directory replaces
  // the least recently heard unprotected entry, so forged announcements from invented devices
  // cannot keep real ones out. `stored` runs once after the entry was written, never on a
  // refusal.
  bool upsert(const VEAnnouncement& announcement, const std::string& host,
              const std::string& interface, const std::function<void()>& stored, double now);

  // Drops every route heard on an interface that is gone or changed its index or address.
  void updateInterfaces(const std::vector<DiscoveryInterface>& newInterfaces);

  // Networking stopped: no interfaces and no routes; peers and announcements stay.
  void clearRoutes();

  // The fresh route of `routes` that a connected endpoint belongs to: same host (and port,
  // when `portMustMatch`); the latest heard wins, then the higher sequence, then list order.
  static std::optional<PeerRoute> matchInbound(const std::optional<platform::Endpoint>& endpoint,
                                               bool portMustMatch,
                                               const std::vector<PeerRoute>& routes, double now);

  std::map<std::string, DiscoveredPeer> peers;  // by announced device identifier
  std::vector<DiscoveryInterface> interfaces;   // the list last applied
  size_t maximumPeers = kMaximumPeers;
  // Set by the owner: whether a device must keep its entry when the directory is full (it has
  // a trust record or an open session). Unset, no entry is protected.
  std::function<bool(const std::string& deviceID)> isProtected;

 private:
  // Frees one place for a new device; false when every entry is protected.
  bool makeRoom();
  void noteHearing(const std::string& deviceID, std::optional<double> previous, double now);
  void reindex();

  // (last hearing, device) of every stored device, least recent first, so that a flood of new
  // devices into a full directory costs a logarithmic step each, not a scan of every entry.
  // Entries are added only by `upsert`, while the owner prunes `peers` directly: an index
  // entry whose peer is gone is dropped when met, and the index is rebuilt once such entries
  // outnumber the peers.
  std::set<std::pair<double, std::string>> hearings_;
};

}  // namespace velmorine::network
