// Three hosts in network namespaces of their own, joined by veth pairs: A and B share the
// network 10.213.1.0/24, B and C the network 10.213.2.0/24, so B has two interfaces. Each host
// runs the discovery transport, a peer directory, a trust service over its own store and a TCP
// listener on a queue whose thread lives in its namespace. Needs root (CAP_NET_ADMIN and
// CAP_SYS_ADMIN) and iproute2; skips without them. Nothing leaves the namespaces it makes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "Velmorine/network/discovery_transport.h"
#include "Velmorine/network/peer_directory.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/network/trust_service.h"
#include "native/protocol/ve_protocol.h"
#include "platform/net/tcp_listener.h"
#include "tests/Velmorine/network/session_fixtures.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::network {
namespace {

bool sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string randomNonce() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string nonce;
  for (int i = 0; i < 64; ++i) nonce += kDigits[random() % 16];
  return nonce;
}

// Named namespaces made for one test, removed at its end whatever happened.
class Namespaces {
 public:
  ~Namespaces() {
    for (const auto& name : names_) sh("ip netns del " + name);
  }
  bool add(const std::string& name) {
    sh("ip netns del " + name);  // a leftover of an earlier run with the same process id
    if (!sh("ip netns add " + name)) return false;
    names_.push_back(name);
    return sh("ip -n " + name + " link set lo up");
  }
  // A veth pair between two namespaces with an address on each end.
  static bool link(const std::string& a, const std::string& aDevice, const std::string& aAddress,
                   const std::string& b, const std::string& bDevice, const std::string& bAddress) {
    return sh("ip -n " + a + " link add " + aDevice + " type veth peer name " + bDevice +
              " netns " + b) &&
           sh("ip -n " + a + " addr add " + aAddress + "/24 brd + dev " + aDevice) &&
           sh("ip -n " + b + " addr add " + bAddress + "/24 brd + dev " + bDevice) &&
           sh("ip -n " + a + " link set " + aDevice + " up") &&
           sh("ip -n " + b + " link set " + bDevice + " up");
  }

 private:
  std::vector<std::string> names_;
};

// A queue whose thread, and so every socket made on it, lives in namespace `ns`.
std::unique_ptr<platform::SerialQueue> queueIn(const std::string& ns) {
  std::unique_ptr<platform::SerialQueue> queue;
  std::thread([&] {
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (entered) queue = std::make_unique<platform::SerialQueue>("test.host." + ns);
  }).join();
  return queue;
}

struct Host {
  std::string name;
  std::string deviceID = core::Uuid::random().to_string();
  std::unique_ptr<platform::SerialQueue> queue;
  velmorine::testing::TemporaryFolder folder;
  std::shared_ptr<store::LocalStore> store;
  std::unique_ptr<TrustService> trust;
  std::shared_ptr<const VEIdentity> identity = *VEIdentity::generate();
  std::string nonce;
  uint64_t sequence = 0;
  PeerDirectory directory;
  std::shared_ptr<DiscoveryTransport> discovery;
  std::shared_ptr<platform::TcpListener> listener;
  std::shared_ptr<NetworkOutputBudget> budget = std::make_shared<NetworkOutputBudget>();
  std::vector<std::shared_ptr<SecurePeerSession>> sessions;

  // What the host saw, read on its queue.
  std::vector<AuthenticatedPeer> ready;
  std::vector<std::string> failures;
  std::vector<std::string> frames;

  ~Host() {
    if (queue) on([&] { stop(); });
  }

  void on(const std::function<void()>& work) { queue->sync(work); }

  void start() {
    on([&] {
      if (!store) {
        store = std::make_shared<store::LocalStore>(folder / "store");
        trust = std::make_unique<TrustService>(store);
      }
      nonce = randomNonce();
      std::error_code error;
      listener = platform::TcpListener::open(*queue, 0, error);
      ASSERT_FALSE(error) << error.message();
      listener->start([this](std::shared_ptr<platform::TcpConnection> accepted) {
        auto connection = SecureConnection::accepted(std::move(accepted), identity, *queue, budget);
        if (connection) attach(std::move(connection), std::nullopt, 0);
      });
      discovery = DiscoveryTransport::create(*queue, &DiscoveryTransport::currentInterfaces);
      discovery->makeAnnouncement = [this]() -> std::optional<std::vector<uint8_t>> {
        return VEProtocol::discoveryWithID(deviceID, name, identity->fingerprint(), nonce,
                                           listener->port(), 15, ++sequence);
      };
      discovery->onDatagram = [this](std::vector<uint8_t> datagram, std::string host,
                                     std::string interface) {
        const auto announcement = VEProtocol::parseDiscovery(datagram, deviceID);
        if (announcement)
          directory.upsert(
              *announcement, host, interface, [] {}, queue->now());
      };
      discovery->start();
    });
  }

  // Ends networking as the runtime does; the store and trust stay.
  void stop() {
    for (auto& session : sessions) {
      session->close(std::make_exception_ptr(SecureConnectionFailure::closed()));
    }
    sessions.clear();
    if (discovery) discovery->stop();
    discovery.reset();
    if (listener) listener->cancel();
    listener.reset();
    directory.clearRoutes();
  }

  std::shared_ptr<SecurePeerSession> attach(std::shared_ptr<SecureConnection> connection,
                                            std::optional<std::string> expectedID,
                                            uint32_t purpose) {
    auto session = SecurePeerSession::create(
        std::move(connection), {deviceID, nonce, identity, expectedID, purpose, nullptr, true});
    session->lookup = [this](const std::string& id) -> std::optional<VEAnnouncement> {
      const auto peer = directory.peers.find(id);
      if (peer == directory.peers.end()) return std::nullopt;
      return peer->second.announcement;
    };
    session->authenticate = [this](const std::string& id, std::span<const uint8_t> key) {
      return trust->admit(id, key);
    };
    session->onReady = [this](const AuthenticatedPeer& peer) { ready.push_back(peer); };
    session->onFrame = [this](const VEFrame& frame, const AuthenticatedPeer&) {
      frames.push_back(frame.frame().header_utf8);
    };
    session->onFailure = [this](std::exception_ptr error) {
      failures.push_back(testing::outcomeOf(error));
    };
    sessions.push_back(session);
    session->start();
    return session;
  }

  // Dials the first route heard of `peer`, optionally pinned to an open session's connection.
  std::shared_ptr<SecurePeerSession> dial(const Host& peer, uint32_t purpose,
                                          const SecurePeerSession* pinTo = nullptr) {
    std::shared_ptr<SecurePeerSession> session;
    on([&] {
      const auto& routes = directory.peers.at(peer.deviceID).routes;
      ASSERT_FALSE(routes.empty());
      auto connection =
          SecureConnection::dial(routes.front().host, routes.front().port, identity, purpose,
                                 *queue, budget, pinTo ? pinTo->connection().get() : nullptr);
      session = attach(std::move(connection), peer.deviceID, purpose);
    });
    return session;
  }

  // Polls the host's state on its queue until `condition` holds, for at most 30 seconds.
  bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      bool met = false;
      on([&] { met = condition(); });
      if (met) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::optional<PeerRoute> routeTo(const Host& peer) {
    std::optional<PeerRoute> route;
    on([&] {
      const auto found = directory.peers.find(peer.deviceID);
      if (found != directory.peers.end() && !found->second.routes.empty()) {
        route = found->second.routes.front();
      }
    });
    return route;
  }
  bool hears(const Host& peer) {
    return waitFor([&] {
      const auto found = directory.peers.find(peer.deviceID);
      return found != directory.peers.end() && !found->second.routes.empty() &&
             found->second.announcement.fingerprint() == peer.identity->fingerprint();
    });
  }
};

class PeerHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    const std::string tag = "velm" + std::to_string(::getpid()) + "-";
    const std::string nsA = tag + "a", nsB = tag + "b", nsC = tag + "c";
    if (!namespaces.add(nsA) || !namespaces.add(nsB) || !namespaces.add(nsC)) {
      GTEST_SKIP() << "cannot make network namespaces with iproute2 (ip netns add failed)";
    }
    ASSERT_TRUE(Namespaces::link(nsA, "va1", "10.213.1.1", nsB, "vb1", "10.213.1.2"));
    ASSERT_TRUE(Namespaces::link(nsB, "vb2", "10.213.2.2", nsC, "vc2", "10.213.2.3"));
    const std::pair<Host*, std::string> hosts[] = {{&a, nsA}, {&b, nsB}, {&c, nsC}};
    for (const auto& [host, ns] : hosts) {
      host->name = ns;
      host->queue = queueIn(ns);
      ASSERT_TRUE(host->queue) << "cannot enter " << ns;
    }
    // The veth carriers come up a moment after the links.
    ASSERT_TRUE(a.waitFor([] { return DiscoveryTransport::currentInterfaces().size() == 1; }));
    ASSERT_TRUE(b.waitFor([] { return DiscoveryTransport::currentInterfaces().size() == 2; }));
    ASSERT_TRUE(c.waitFor([] { return DiscoveryTransport::currentInterfaces().size() == 1; }));
    for (Host* host : {&a, &b, &c}) host->start();
  }

  void TearDown() override {
    for (Host* host : {&a, &b, &c}) {
      if (host->queue) host->on([&] { host->stop(); });
    }
  }

  Namespaces namespaces;  // removed after the hosts
  Host a, b, c;
};

TEST_F(PeerHostsNetns, HostsFindConnectAuthenticateAndPinKeys_NeedsRootAndNamespaces) {
  // Each host hears its neighbours on the interface that joins them, and nothing else.
  ASSERT_TRUE(a.hears(b));
  ASSERT_TRUE(b.hears(a));
  ASSERT_TRUE(b.hears(c));
  ASSERT_TRUE(c.hears(b));
  EXPECT_EQ(a.routeTo(b)->interface, "va1");
  EXPECT_EQ(a.routeTo(b)->host, "10.213.1.2");
  EXPECT_EQ(b.routeTo(a)->interface, "vb1");
  EXPECT_EQ(b.routeTo(a)->host, "10.213.1.1");
  EXPECT_EQ(b.routeTo(c)->interface, "vb2");
  EXPECT_EQ(b.routeTo(c)->host, "10.213.2.3");
  EXPECT_EQ(c.routeTo(b)->interface, "vc2");
  EXPECT_FALSE(a.routeTo(c));
  EXPECT_FALSE(c.routeTo(a));

  // A dials B: handshake, HELLO both ways, keys pinned on first use.
  const auto control = a.dial(b, 1);
  ASSERT_TRUE(a.waitFor([&] { return a.ready.size() == 1; }));
  ASSERT_TRUE(b.waitFor([&] { return b.ready.size() == 1; }));
  a.on([&] {
    EXPECT_EQ(a.ready[0].wireID, b.deviceID);
    EXPECT_EQ(a.ready[0].contactID, b.deviceID);
    EXPECT_EQ(a.ready[0].publicKey, b.identity->publicKey());
    EXPECT_EQ(a.store->document().trust.at(b.deviceID).publicKey, b.identity->publicKey());
    EXPECT_EQ(a.store->document().audit.back().action, "first-trust");
  });
  b.on([&] {
    EXPECT_EQ(b.ready[0].wireID, a.deviceID);
    EXPECT_EQ(b.ready[0].safetyCode, a.ready[0].safetyCode);
    EXPECT_EQ(b.store->document().trust.at(a.deviceID).publicKey, a.identity->publicKey());
  });

  // B answers A's PING.
  a.on([&] { ASSERT_TRUE(control->send(*VEProtocol::livenessFrameWithKind("PING", 7))); });
  ASSERT_TRUE(a.waitFor([&] { return !a.frames.empty(); }));
  a.on([&] { EXPECT_EQ(a.frames[0], R"({"major":2,"type":"PONG","ping_id":7})"); });

  // A data session pinned to the control session's local address and interface.
  const auto data = a.dial(b, 2, control.get());
  ASSERT_TRUE(a.waitFor([&] { return a.ready.size() == 2; }));
  ASSERT_TRUE(b.waitFor([&] { return b.ready.size() == 2; }));
  a.on([&] {
    EXPECT_EQ(data->connection()->localEndpoint()->host_text(), "10.213.1.1");
    EXPECT_TRUE(data->connection()->isOnInterfaces(a.discovery->interfaces()));
    EXPECT_EQ(data->connection()->channel().purpose(), 2u);
    EXPECT_TRUE(a.failures.empty());
  });

  // B, with two interfaces, dials C on the other network.
  const auto toC = b.dial(c, 1);
  ASSERT_TRUE(b.waitFor([&] { return b.ready.size() == 3; }));
  ASSERT_TRUE(c.waitFor([&] { return c.ready.size() == 1; }));
  b.on([&] {
    EXPECT_EQ(toC->connection()->localEndpoint()->host_text(), "10.213.2.2");
    const auto& interfaces = b.discovery->interfaces();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_TRUE(toC->connection()->isOnInterfaces(interfaces));
    std::vector<DiscoveryInterface> firstOnly;
    for (const auto& interface : interfaces) {
      if (interface.name == "vb1") firstOnly.push_back(interface);
    }
    EXPECT_FALSE(toC->connection()->isOnInterfaces(firstOnly));
  });
}

TEST_F(PeerHostsNetns, RestartedHostWithANewKeyIsAChangedKey_NeedsRootAndNamespaces) {
  ASSERT_TRUE(b.hears(c));
  b.dial(c, 1);
  ASSERT_TRUE(b.waitFor([&] { return b.ready.size() == 1; }));
  const auto pinned = c.identity->publicKey();

  // C starts again under the same device identifier with a new key.
  c.on([&] {
    c.stop();
    c.identity = *VEIdentity::generate();
  });
  c.start();
  ASSERT_TRUE(b.hears(c));
  b.dial(c, 1);
  ASSERT_TRUE(b.waitFor([&] { return b.failures.size() == 2; }));
  b.on([&] {
    // The first session ended when C stopped; the second is refused, not silently trusted.
    EXPECT_EQ(std::count(b.failures.begin(), b.failures.end(), "trust.changedKey"), 1);
    EXPECT_EQ(b.ready.size(), 1u);
    EXPECT_EQ(b.store->document().trust.at(c.deviceID).publicKey, pinned);
  });
}

TEST_F(PeerHostsNetns, BlockedKeyIsRefused_NeedsRootAndNamespaces) {
  ASSERT_TRUE(b.hears(a));
  b.dial(a, 1);
  ASSERT_TRUE(a.waitFor([&] { return a.ready.size() == 1; }));
  a.on([&] { a.trust->setBlocked(true, b.deviceID); });

  b.dial(a, 1);
  ASSERT_TRUE(a.waitFor([&] { return !a.failures.empty(); }));
  a.on([&] {
    EXPECT_EQ(a.failures, std::vector<std::string>{"trust.blocked"});
    EXPECT_EQ(a.ready.size(), 1u);
    EXPECT_EQ(a.store->document().audit.back().action, "block");
  });
  // B's side of the refused session ends too.
  ASSERT_TRUE(b.waitFor([&] { return !b.failures.empty(); }));
}

}  // namespace
}  // namespace velmorine::network
