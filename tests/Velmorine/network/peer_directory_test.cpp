#include "Velmorine/network/peer_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/network/network_status.h"
#include "Velmorine/network/secure_connection_failure.h"
#include "platform/net/endpoint.h"

namespace velmorine::network {
namespace {

const std::string kNonceA(64, 'a');
const std::string kNonceB(64, 'b');
const std::string kKeyA(64, 'c');
const std::string kKeyB(64, 'd');

std::string device(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

VEAnnouncement announcement(int n, uint64_t sequence, const std::string& nonce = kNonceA,
                            const std::string& key = kKeyA, uint16_t port = 40000) {
  protocol::DiscoveryAnnouncement record;
  record.wire_major = 2;
  record.device_id = *core::Uuid::parse(device(n));
  record.display_name_utf8 = "peer " + std::to_string(n);
  record.tcp_port = port;
  record.secure_channel = "velsecure-v1";
  record.public_key_fingerprint = key;
  record.process_nonce = nonce;
  record.sequence = sequence;
  record.platform = protocol::kPlatformLinux;
  return VEAnnouncement(record);
}

class PeerDirectoryTest : public ::testing::Test {
 protected:
  // Records an announcement; counts the stored callbacks.
  bool hear(const VEAnnouncement& a, const std::string& host, const std::string& interface,
            double now) {
    return directory_.upsert(
        a, host, interface, [this] { ++stored_; }, now);
  }
  const DiscoveredPeer& peer(int n) { return directory_.peers.at(device(n)); }

  PeerDirectory directory_;
  int stored_ = 0;
};

TEST_F(PeerDirectoryTest, FirstHearingStoresPeerAndRoute) {
  EXPECT_FALSE(hear(announcement(1, 5), "10.0.0.2", "eth0", 100.0));
  EXPECT_EQ(stored_, 1);
  EXPECT_EQ(peer(1).announcement, announcement(1, 5));
  EXPECT_EQ(peer(1).routes, (std::vector<PeerRoute>{{"10.0.0.2", 40000, "eth0", 100.0, 5}}));
  EXPECT_FALSE(peer(1).contacted);
}

TEST_F(PeerDirectoryTest, StaleOrEqualSequenceOnARouteChangesNothing) {
  hear(announcement(1, 5), "10.0.0.2", "eth0", 100.0);
  for (uint64_t sequence : {5u, 4u}) {
    EXPECT_FALSE(hear(announcement(1, sequence), "10.0.0.2", "eth0", 101.0));
  }
  EXPECT_EQ(stored_, 1);
  EXPECT_EQ(peer(1).routes[0].lastSeen, 100.0);
}

TEST_F(PeerDirectoryTest, HigherSequenceRefreshesTheRouteInPlace) {
  hear(announcement(1, 5), "10.0.0.2", "eth0", 100.0);
  hear(announcement(1, 5), "10.0.1.2", "wlan0", 100.5);
  directory_.peers.at(device(1)).contacted = true;
  EXPECT_FALSE(hear(announcement(1, 6), "10.0.0.2", "eth0", 103.0));
  ASSERT_EQ(peer(1).routes.size(), 2u);
  EXPECT_EQ(peer(1).routes[0], (PeerRoute{"10.0.0.2", 40000, "eth0", 103.0, 6}));
  EXPECT_EQ(peer(1).routes[1].lastSeen, 100.5);  // the other interface's route is untouched
  EXPECT_TRUE(peer(1).contacted);
  EXPECT_EQ(peer(1).announcement.sequence(), 6u);
}

TEST_F(PeerDirectoryTest, NewProcessOrNewKeyResetsTheRoutes) {
  struct Case {
    std::string label;
    std::string nonce;
    std::string key;
    bool reset;
  };
  const std::vector<Case> cases = {
      {"new nonce", kNonceB, kKeyA, true},
      {"new nonce and key", kNonceB, kKeyB, true},
      {"same nonce, new key", kNonceA, kKeyB, true},
      {"same process", kNonceA, kKeyA, false},
  };
  for (const auto& c : cases) {
    PeerDirectory directory;
    directory.upsert(announcement(1, 50), "10.0.0.2", "eth0", nullptr, 100.0);
    directory.upsert(announcement(1, 50), "10.0.1.2", "wlan0", nullptr, 100.0);
    // A restarted process counts from 1 again: lower than what is stored.
    const bool reset =
        directory.upsert(announcement(1, 1, c.nonce, c.key), "10.0.0.2", "eth0", nullptr, 101.0);
    EXPECT_EQ(reset, c.reset) << c.label;
    const auto& routes = directory.peers.at(device(1)).routes;
    if (c.reset) {
      EXPECT_EQ(routes, (std::vector<PeerRoute>{{"10.0.0.2", 40000, "eth0", 101.0, 1}})) << c.label;
      EXPECT_EQ(directory.peers.at(device(1)).announcement.nonce(), c.nonce) << c.label;
    } else {
      EXPECT_EQ(routes.size(), 2u) << c.label;
      EXPECT_EQ(routes[0].sequence, 50u) << c.label;
    }
  }
}

// A full directory: device n heard at 100 + n, then device 1 heard again at 1000, so device 1
// was stored first but device 2 is the least recently heard.
class FullPeerDirectoryTest : public PeerDirectoryTest {
 protected:
  void fill() {
    directory_ = PeerDirectory();
    directory_.maximumPeers = 512;
    for (int n = 1; n <= 512; ++n) hear(announcement(n, 1), "10.0.0.2", "eth0", 100.0 + n);
    hear(announcement(1, 2), "10.0.0.2", "eth0", 1000.0);
    stored_ = 0;
  }
  void protect(const std::set<int>& devices) {
    directory_.isProtected = [devices](const std::string& id) {
      return std::any_of(devices.begin(), devices.end(), [&](int n) { return device(n) == id; });
    };
  }
};

TEST_F(FullPeerDirectoryTest, NewDeviceReplacesTheLeastRecentlyHeardUnprotectedEntry) {
  struct Case {
    std::string label;
    std::optional<std::set<int>> protectedDevices;  // nothing: no predicate installed
    std::function<void(PeerDirectory&)> before;
    std::optional<int> replaced;  // nothing: the new device is refused
  };
  std::set<int> everyone;
  for (int n = 1; n <= 512; ++n) everyone.insert(n);
  const std::vector<Case> cases = {
      {"no predicate: the least recently heard, not the first stored", std::nullopt, nullptr, 2},
      {"nothing protected", std::set<int>{}, nullptr, 2},
      {"trusted or in session entries are passed over", std::set<int>{2, 3}, nullptr, 4},
      {"a refused stale announcement is no hearing", std::set<int>{},
       [](PeerDirectory& d) { d.upsert(announcement(2, 1), "10.0.0.2", "eth0", nullptr, 900.0); },
       2},
      {"cleared routes keep the last hearing", std::set<int>{},
       [](PeerDirectory& d) { d.clearRoutes(); }, 2},
      {"an entry the owner pruned is passed over", std::set<int>{},
       [](PeerDirectory& d) {
         d.peers.erase(device(2));
         d.upsert(announcement(600, 1), "10.0.0.2", "eth0", nullptr, 1500.0);
       },
       3},
      {"every entry protected: refused", everyone, nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fill();
    if (c.protectedDevices) protect(*c.protectedDevices);
    if (c.before) c.before(directory_);
    ASSERT_EQ(directory_.peers.size(), 512u);
    const int stored_before = stored_;

    EXPECT_FALSE(hear(announcement(513, 1), "10.0.0.3", "eth0", 2000.0));
    EXPECT_EQ(directory_.peers.size(), 512u);
    if (c.replaced) {
      EXPECT_EQ(stored_, stored_before + 1);
      EXPECT_TRUE(directory_.peers.contains(device(513)));
      EXPECT_FALSE(directory_.peers.contains(device(*c.replaced)));
      EXPECT_EQ(peer(513).routes, (std::vector<PeerRoute>{{"10.0.0.3", 40000, "eth0", 2000.0, 1}}));
    } else {
      EXPECT_EQ(stored_, stored_before);
      EXPECT_FALSE(directory_.peers.contains(device(513)));
      EXPECT_TRUE(directory_.peers.contains(device(2)));
    }
    // Known devices are refreshed either way.
    EXPECT_FALSE(hear(announcement(7, 2), "10.0.0.2", "eth0", 2001.0));
    EXPECT_EQ(peer(7).lastHeard, 2001.0);
  }
}

// The owner prunes most entries again and again while new devices fill the places: the
// replacement still finds the least recently heard one.
TEST_F(FullPeerDirectoryTest, OwnerPrunesLeaveTheReplacementRight) {
  fill();
  double now = 2000.0;
  int next = 1000;
  for (int round = 0; round < 8; ++round) {
    std::erase_if(directory_.peers, [](const auto& entry) { return entry.first != device(1); });
    while (directory_.peers.size() < 512) {
      hear(announcement(next++, 1), "10.0.0.66", "eth0", now);
      now += 1.0;
    }
  }
  hear(announcement(1, 3), "10.0.0.2", "eth0", now);
  const int oldest = next - 511;
  EXPECT_TRUE(directory_.peers.contains(device(oldest)));
  hear(announcement(next, 1), "10.0.0.66", "eth0", now + 1.0);
  EXPECT_EQ(directory_.peers.size(), 512u);
  EXPECT_FALSE(directory_.peers.contains(device(oldest)));
  EXPECT_TRUE(directory_.peers.contains(device(oldest + 1)));
  EXPECT_TRUE(directory_.peers.contains(device(1)));
}

// 512 forged announcements from invented devices, and a flood that goes on: a real device
// still gets in, and once protected it stays whatever else is announced.
TEST_F(FullPeerDirectoryTest, ForgedFloodNeitherKeepsOutNorPushesOutARealDevice) {
  fill();
  constexpr int kReal = 100000;
  protect({kReal});
  hear(announcement(kReal, 1), "10.0.0.9", "eth0", 2000.0);
  ASSERT_TRUE(directory_.peers.contains(device(kReal)));
  for (int n = 1000; n < 1000 + 2 * 512; ++n) {
    hear(announcement(n, 1), "10.0.0.66", "eth0", 2000.0 + n);
  }
  EXPECT_EQ(directory_.peers.size(), 512u);
  EXPECT_TRUE(directory_.peers.contains(device(kReal)));
  EXPECT_TRUE(directory_.peers.contains(device(1000 + 2 * 512 - 1)));
}

TEST_F(PeerDirectoryTest, SeventeenthRouteIsRefusedUntilAReset) {
  for (int i = 0; i < 16; ++i) {
    hear(announcement(1, 1), "10.0.0." + std::to_string(i + 2), "eth0", 100.0);
  }
  EXPECT_FALSE(hear(announcement(1, 2), "10.0.1.99", "eth0", 101.0));
  EXPECT_EQ(peer(1).routes.size(), 16u);
  EXPECT_EQ(peer(1).announcement.sequence(), 1u);  // the refused announcement was not stored
  EXPECT_TRUE(hear(announcement(1, 1, kNonceB), "10.0.1.99", "eth0", 102.0));
  EXPECT_EQ(peer(1).routes.size(), 1u);
}

TEST_F(PeerDirectoryTest, InterfaceUpdatesDropRoutesOfGoneOrChangedInterfaces) {
  const DiscoveryInterface eth0{"eth0", 2, 0x0100000a, std::nullopt};
  const DiscoveryInterface wlan0{"wlan0", 3, 0x0101000a, std::nullopt};
  // The first application drops every route: no interface was known before it.
  hear(announcement(1, 1), "10.0.0.2", "eth0", 100.0);
  directory_.updateInterfaces({eth0, wlan0});
  EXPECT_TRUE(peer(1).routes.empty());
  EXPECT_EQ(directory_.peers.size(), 1u);  // peers stay

  hear(announcement(1, 2), "10.0.0.2", "eth0", 101.0);
  hear(announcement(1, 2), "10.0.1.2", "wlan0", 101.0);
  // wlan0 changed its address; eth0 only its broadcast address, which does not count.
  auto eth0_with_broadcast = eth0;
  eth0_with_broadcast.broadcast = 0xff00000a;
  auto wlan0_moved = wlan0;
  wlan0_moved.address = 0x0201000a;
  directory_.updateInterfaces({eth0_with_broadcast, wlan0_moved});
  ASSERT_EQ(peer(1).routes.size(), 1u);
  EXPECT_EQ(peer(1).routes[0].interface, "eth0");

  directory_.clearRoutes();
  EXPECT_TRUE(directory_.interfaces.empty());
  EXPECT_TRUE(peer(1).routes.empty());
  EXPECT_EQ(directory_.peers.size(), 1u);
}

TEST_F(PeerDirectoryTest, PresenceLastsSixtySecondsOrWhileContacted) {
  hear(announcement(1, 1), "10.0.0.2", "eth0", 100.0);
  EXPECT_TRUE(peer(1).isPresent(159.9));
  EXPECT_FALSE(peer(1).isPresent(160.0));
  directory_.peers.at(device(1)).contacted = true;
  EXPECT_TRUE(peer(1).isPresent(1000.0));
}

PeerRoute route(std::string host, uint16_t port, std::string interface, double seen,
                uint64_t sequence = 1) {
  return {std::move(host), port, std::move(interface), seen, sequence};
}

TEST(PeerRouteAttempt, TriesFreshRoutesInOrderEachHostAndPortOnce) {
  const std::vector<PeerRoute> routes = {
      route("10.0.0.2", 40000, "eth0", 95.0),   // fresh
      route("10.0.0.2", 40000, "wlan0", 96.0),  // same host and port: dialled once
      route("10.0.0.9", 40000, "eth0", 89.0),   // 11 s old: stale
      route("10.0.0.3", 40000, "eth0", 90.5),   // 9.5 s old: fresh
  };
  PeerRouteAttempt attempt(routes, 100.0);
  EXPECT_FALSE(attempt.connectionID);
  ASSERT_EQ(attempt.remaining.size(), 2u);
  EXPECT_EQ(attempt.next(std::nullopt, 100.0), routes[0]);
  EXPECT_EQ(attempt.next(std::nullopt, 100.0), routes[3]);
  EXPECT_FALSE(attempt.next(std::nullopt, 100.0));
}

TEST(PeerRouteAttempt, NextUsesCurrentCopiesAndSkipsDroppedOrStaleRoutes) {
  const std::vector<PeerRoute> routes = {
      route("10.0.0.2", 40000, "eth0", 99.0),
      route("10.0.0.3", 40000, "eth0", 99.0),
      route("10.0.0.4", 40000, "eth0", 99.0),
  };
  PeerRouteAttempt attempt(routes, 100.0);
  const std::vector<PeerRoute> current = {
      // 10.0.0.2 is gone; 10.0.0.3 was not heard again and is now stale.
      route("10.0.0.3", 40000, "eth0", 99.0),
      route("10.0.0.4", 40000, "wlan0", 108.0, 7),
  };
  EXPECT_EQ(attempt.next(current, 109.5), current[1]);
  EXPECT_FALSE(attempt.next(current, 109.5));
}

TEST(PeerDirectoryMatch, InboundEndpointFindsTheLatestFreshRouteOfItsHost) {
  const std::vector<PeerRoute> routes = {
      route("10.0.0.2", 40000, "eth0", 95.0, 3),  route("10.0.0.2", 40001, "wlan0", 97.0, 1),
      route("10.0.0.2", 40000, "wlan0", 97.0, 4), route("10.0.0.2", 40000, "usb0", 97.0, 4),
      route("10.0.0.3", 40000, "eth0", 99.0, 9),
  };
  const auto endpoint = [](const char* host, uint16_t port) {
    return std::optional<platform::Endpoint>(
        platform::Endpoint{asio::ip::make_address(host), port});
  };
  struct Case {
    std::string label;
    std::optional<platform::Endpoint> endpoint;
    bool portMustMatch;
    double now;
    std::optional<PeerRoute> expected;
  };
  const std::vector<Case> cases = {
      {"equal time: higher sequence, then list order", endpoint("10.0.0.2", 50000), false, 100.0,
       routes[2]},
      {"port must match", endpoint("10.0.0.2", 40001), true, 100.0, routes[1]},
      {"port must match, none does", endpoint("10.0.0.2", 40002), true, 100.0, std::nullopt},
      {"stale routes give nothing", endpoint("10.0.0.2", 40000), false, 107.0, std::nullopt},
      {"unknown host", endpoint("10.0.0.7", 40000), false, 100.0, std::nullopt},
      {"no endpoint", std::nullopt, false, 100.0, std::nullopt},
      {"IPv6 host never matches", endpoint("::1", 40000), false, 100.0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PeerDirectory::matchInbound(c.endpoint, c.portMustMatch, routes, c.now), c.expected)
        << c.label;
  }
}

TEST(NetworkStatusKey, FirstRuleThatAppliesWins) {
  struct Case {
    std::vector<DiscoveryIssue> issues;
    size_t interfaces;
    size_t channels;
    std::string key;
  };
  const DiscoveryIssue denied{"eth0", "bind", EACCES};
  const DiscoveryIssue not_permitted{"eth0", "multicast", EPERM};
  const DiscoveryIssue in_use{"eth0", "bind", EADDRINUSE};
  const std::vector<Case> cases = {
      {{denied}, 0, 0, "network.noInterfaces"},
      {{}, 0, 0, "network.noInterfaces"},
      {{denied}, 2, 2, "network.restricted"},
      {{in_use, not_permitted}, 2, 1, "network.restricted"},
      {{in_use}, 1, 0, "network.accessUnknown"},
      {{}, 1, 0, "network.accessUnknown"},
      {{in_use}, 2, 1, "network.partialFailure"},
      {{{"", "announcement", EINVAL}}, 1, 1, "network.partialFailure"},
      {{}, 2, 2, "network.searching"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(networkStatusKey(c.issues, c.interfaces, c.channels), c.key);
  }
}

TEST(SecureConnectionFailure, OnlyUnreachableRoutesAreWorthTheNextOne) {
  EXPECT_TRUE(SecureConnectionFailure::shouldTryNextRoute(
      SecureConnectionFailure::network(std::make_error_code(std::errc::connection_refused))));
  EXPECT_TRUE(SecureConnectionFailure::shouldTryNextRoute(SecureConnectionFailure::timeout()));
  for (const auto& failure :
       {SecureConnectionFailure::crypto(nullptr), SecureConnectionFailure::closed(),
        SecureConnectionFailure::capacity(), SecureConnectionFailure::truncated()}) {
    EXPECT_FALSE(SecureConnectionFailure::shouldTryNextRoute(failure)) << failure.what();
  }
  EXPECT_FALSE(SecureConnectionFailure::shouldTryNextRoute(std::runtime_error("network")));
}

}  // namespace
}  // namespace velmorine::network
