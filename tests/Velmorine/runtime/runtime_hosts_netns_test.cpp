// Hosts on one LAN, each a network namespace joined to a bridge in a switch namespace by a veth
// pair (10.215.0.N/24, a fixed MAC per host), each running runtime-node on a data home of its
// own: the whole runtime over real discovery, TCP and keychain. The tests assert on what the
// nodes print, as a user would see it, and on what the kernel shows (sockets, locks). Needs
// root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2; skips without them. Nothing leaves the
// namespaces the tests make.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "Velmorine/network/discovery_transport.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "native/protocol/ve_protocol.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/support/private_lan.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime {
namespace {

using testing::Json;
using testing::Lan;
using testing::RuntimeNodeProcess;
using testing::safetyCode;
using testing::sh;

std::string randomNonce() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string nonce;
  for (int i = 0; i < 64; ++i) nonce += kDigits[random() % 16];
  return nonce;
}

// Runs `body` on a thread inside namespace `ns`: sockets it makes belong to that namespace.
bool inNamespace(const std::string& ns, const std::function<void()>& body) {
  bool entered = false;
  std::thread([&] {
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (entered) body();
  }).join();
  return entered;
}

struct Host {
  Host(std::string hostName, int hostNumber) : name(std::move(hostName)), number(hostNumber) {}

  std::string name;  // "a", "b", ...
  std::string ns;
  int number = 0;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<RuntimeNodeProcess> node;
  std::string localID;

  std::string address() const { return Lan::address(number); }
  std::string displayName() const { return "Host " + name; }

  // Starts the node on the host's data home, networking on, and waits until it searches.
  void run() {
    node = std::make_unique<RuntimeNodeProcess>(std::vector<std::string>{"ip", "netns", "exec", ns},
                                                home.path().string());
    ASSERT_TRUE(node->launch());
    node->send({{"op", "start"}});
    node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    node->send({{"op", "updatePreferences"}, {"displayName", displayName()}});
    const auto searching = node->waitSnapshot([&](const Json& snapshot) {
      return snapshot["status"] == "network.searching" && snapshot["enabled"] == true &&
             snapshot["localID"].is_string() &&
             snapshot["preferences"]["displayName"] == displayName();
    });
    ASSERT_TRUE(searching) << name << " never searched";
    localID = (*searching)["localID"];
  }

  // Waits until this host's snapshot lists `peer` online under its name.
  bool hears(const Host& peer, size_t from = 0) {
    return node
        ->waitSnapshot(
            [&](const Json& snapshot) {
              const Json* row = testing::peerRow(snapshot, peer.localID);
              return row != nullptr && (*row)["online"] == true &&
                     (*row)["name"] == peer.displayName();
            },
            from)
        .has_value();
  }

  // The sessions this host's runtime holds with `peer`.
  std::vector<Json> sessionsWith(const Host& peer) {
    std::vector<Json> found;
    if (const auto all = node->sessions()) {
      for (const auto& session : all->list) {
        if (session["peer"] == peer.localID) found.push_back(session);
      }
    }
    return found;
  }
};

// The one session of `peer` in a list of sessions: open and active, and no other with it.
std::optional<Json> soleSession(const Json& sessions, const Host& peer) {
  std::optional<Json> sole;
  for (const auto& session : sessions) {
    if (session["peer"] != peer.localID) continue;
    if (sole || session["closed"] == true || session["active"] != true) return std::nullopt;
    sole = session;
  }
  return sole;
}

// The same connection seen from its two ends.
bool mirrored(const Json& one, const Json& other) {
  return one["local"] == other["remote"] && one["remote"] == other["local"];
}

// Two hosts joined by one control session: how each holds it, and the safety code both show.
struct Link {
  Json x, y;
  std::string code;
};

// Waits until `x` and `y` hold one session with each other, the same connection, and show the
// same safety code for it in their next snapshots.
std::optional<Link> linked(Host& x, Host& y) {
  const auto deadline = std::chrono::steady_clock::now() + testing::kNodeWait;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto ofX = x.node->sessions();
    const auto ofY = y.node->sessions();
    if (ofX && ofY) {
      const auto one = soleSession(ofX->list, y);
      const auto other = soleSession(ofY->list, x);
      if (one && other && mirrored(*one, *other)) {
        // Snapshots after the answers were built after them.
        const auto any = [](const Json&) { return true; };
        const auto seenByX = x.node->waitSnapshot(any, ofX->index);
        const auto seenByY = y.node->waitSnapshot(any, ofY->index);
        if (seenByX && seenByY) {
          const auto codeX = safetyCode(*seenByX, y.localID);
          const auto codeY = safetyCode(*seenByY, x.localID);
          if (codeX && codeY && *codeX == *codeY) return Link{*one, *other, *codeX};
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not ordering
  }
  return std::nullopt;
}

class RuntimeHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vrt" + std::to_string(::getpid()));
    if (!lan->create()) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    for (auto* host : {&a, &b, &c}) host->ns = lan->ns(host->name);
  }

  void TearDown() override {
    for (auto* host : {&a, &b, &c}) {
      if (host->node) {
        EXPECT_TRUE(host->node->stopsCleanly()) << host->name << " ended badly";
      }
      host->node.reset();
    }
    lan.reset();
  }

  // Plugs the host in and starts its node.
  void bringUp(Host& host) {
    ASSERT_TRUE(lan->plug(host.name, host.number)) << "cannot plug in " << host.name;
    host.run();
  }

  // `from` dials `to` and both end linked.
  std::optional<Link> connect(Host& from, Host& to) {
    EXPECT_TRUE(from.hears(to)) << from.name << " never heard " << to.name;
    from.node->send({{"op", "connectPeer"}, {"peer", to.localID}});
    auto link = linked(from, to);
    EXPECT_TRUE(link) << "no session between " << from.name << " and " << to.name;
    return link;
  }

  std::unique_ptr<Lan> lan;
  Host a{"a", 1}, b{"b", 2}, c{"c", 3};
};

TEST_F(RuntimeHostsNetns, HostsConnectWithOneSafetyCode_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  ASSERT_TRUE(a.hears(b));
  ASSERT_TRUE(b.hears(a));
  const auto link = connect(a, b);
  ASSERT_TRUE(link);

  // One control session, dialled by A to B's address, one safety code on both ends.
  EXPECT_TRUE(link->x["dialled"].get<bool>());
  EXPECT_FALSE(link->y["dialled"].get<bool>());
  EXPECT_EQ(link->x["remote"].get<std::string>().rfind(b.address() + ":", 0), 0u);
  EXPECT_EQ(link->x["nonce"].get<std::string>().size(), 64u);
  EXPECT_FALSE(link->code.empty());
}

TEST_F(RuntimeHostsNetns, CrossingDialsLeaveOneSessionOnBothSides_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  ASSERT_TRUE(a.hears(b));
  ASSERT_TRUE(b.hears(a));
  const size_t aMark = a.node->mark(), bMark = b.node->mark();
  a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
  b.node->send({{"op", "connectPeer"}, {"peer", a.localID}});
  const auto link = linked(a, b);
  ASSERT_TRUE(link) << "the crossing dials did not settle on one session";

  // When both dials got through, both kept the one that the smaller device ID dialled.
  auto duplicates = [](Host& host, size_t from) {
    const auto lines = host.node->lines();
    for (size_t index = from; index < lines.size(); ++index) {
      const std::string code = lines[index].value("code", "");
      if (code == "control.duplicateRejected" || code == "control.replaced") return true;
    }
    return false;
  };
  if (duplicates(a, aMark) || duplicates(b, bMark)) {
    const bool aFirst = a.localID < b.localID;
    const Json& kept = aFirst ? link->x : link->y;
    EXPECT_TRUE(kept["dialled"].get<bool>()) << "the host that sorts first lost its dial";
  }
}

// The host that restarts either crashes alone (its kernel closes its connections) or goes with
// its whole machine (the peer keeps a half-open connection that nothing will ever close).
class RuntimeHostsNetnsRestart : public RuntimeHostsNetns,
                                 public ::testing::WithParamInterface<bool> {};

TEST_P(RuntimeHostsNetnsRestart, KilledHostIsReadmitted_NeedsRootAndNamespaces) {
  const bool halfOpen = GetParam();
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  // The host that sorts first dials: by the duplicate rule alone, a session the other host
  // dials later would lose to the one it holds.
  Host& keeper = a.localID < b.localID ? a : b;
  Host& restarted = &keeper == &a ? b : a;
  const auto before = connect(keeper, restarted);
  ASSERT_TRUE(before);
  const std::string oldID = restarted.localID;

  if (halfOpen) {
    // The cable goes first, so that not even the kernel's goodbye reaches the keeper.
    ASSERT_TRUE(lan->unplug(restarted.name));
    restarted.node->kill();
    const auto held = keeper.sessionsWith(restarted);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0]["id"], before->x["id"]);
    EXPECT_FALSE(held[0]["closed"].get<bool>());
    ASSERT_TRUE(lan->plug(restarted.name, restarted.number));
  } else {
    restarted.node->kill();
  }

  const size_t mark = keeper.node->mark();
  ASSERT_NO_FATAL_FAILURE(restarted.run());
  ASSERT_EQ(restarted.localID, oldID) << "the restarted host lost its identity";
  // The keeper hears the new process before it dials, so that its HELLO matches.
  ASSERT_TRUE(keeper.node->waitDiagnostic("discovery.processChanged", mark));
  const auto after = connect(restarted, keeper);
  ASSERT_TRUE(after);

  // The keeper holds exactly the new process's session; the old one is gone.
  EXPECT_NE(after->y["id"], before->x["id"]);
  EXPECT_NE(after->y["nonce"], before->x["nonce"]);
}

INSTANTIATE_TEST_SUITE_P(RestartedHost, RuntimeHostsNetnsRestart, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "HalfOpenConnection" : "ClosedConnection";
                         });

// A UDP socket of host C on the discovery port that hears the LAN's announcements.
class Listener {
 public:
  explicit Listener(const Host& host) {
    inNamespace(host.ns, [&] {
      fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_port = htons(network::kDiscoveryPort);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
      ip_mreq membership{};
      ::inet_pton(AF_INET, std::string(network::kDiscoveryGroup).c_str(),
                  &membership.imr_multiaddr);
      ::inet_pton(AF_INET, host.address().c_str(), &membership.imr_interface);
      ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
    });
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }

  // The next announcement of `deviceID`, waiting for it.
  std::optional<VEAnnouncement> announcementOf(const std::string& deviceID) {
    const std::string stranger = core::Uuid::random().to_string();
    const auto deadline = std::chrono::steady_clock::now() + testing::kNodeWait;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 500) <= 0) continue;
      std::vector<uint8_t> datagram(network::kDiscoveryMaxDatagram);
      const ssize_t got = ::recv(fd_, datagram.data(), datagram.size(), 0);
      if (got <= 0) continue;
      datagram.resize(static_cast<size_t>(got));
      auto announcement = VEProtocol::parseDiscovery(datagram, stranger);
      if (announcement && announcement->deviceID() == deviceID) return announcement;
    }
    return std::nullopt;
  }

  bool sendTo(const std::string& address, const std::vector<uint8_t>& datagram) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(network::kDiscoveryPort);
    ::inet_pton(AF_INET, address.c_str(), &destination.sin_addr);
    return ::sendto(fd_, datagram.data(), datagram.size(), 0,
                    reinterpret_cast<sockaddr*>(&destination),
                    sizeof destination) == static_cast<ssize_t>(datagram.size());
  }

 private:
  int fd_ = -1;
};

TEST_F(RuntimeHostsNetns, ForgedAnnouncementLeavesTheSessionUp_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  ASSERT_TRUE(lan->plug(c.name, c.number));
  Listener listener(c);
  const auto before = connect(a, b);
  ASSERT_TRUE(before);
  const std::string code = before->code;

  // C copies B's announcement with a nonce of its own: a restart that nothing proves.
  const auto heard = listener.announcementOf(b.localID);
  ASSERT_TRUE(heard);
  const auto forged = VEProtocol::discoveryWithID(
      heard->deviceID(), heard->displayName(), heard->fingerprint(), randomNonce(), heard->port(),
      heard->capabilities(), heard->sequence() + 1000);
  ASSERT_TRUE(forged);
  const size_t aMark = a.node->mark();
  ASSERT_TRUE(listener.sendTo(a.address(), *forged));

  // A takes the announcement, keeps the session, and still keeps it a few snapshots later.
  const auto changed = a.node->waitDiagnostic("discovery.processChanged", aMark);
  ASSERT_TRUE(changed);
  const auto next = a.node->waitSnapshot([](const Json&) { return true; }, *changed);
  ASSERT_TRUE(next);
  EXPECT_EQ(safetyCode(*next, b.localID), code);
  const uint64_t number = (*next)["number"];
  ASSERT_TRUE(a.node->waitSnapshot(
      [&](const Json& snapshot) { return snapshot["number"].get<uint64_t>() >= number + 3; },
      *changed));
  const auto lines = a.node->lines();
  for (size_t index = aMark; index < lines.size(); ++index) {
    EXPECT_NE(lines[index].value("code", ""), "control.closed") << "A dropped its session";
    if (lines[index].value("event", "") == "snapshot") {
      EXPECT_EQ(safetyCode(lines[index], b.localID), code);
    }
  }
  const auto after = linked(a, b);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->x["id"], before->x["id"]);
  EXPECT_EQ(after->code, code);
}

TEST_F(RuntimeHostsNetns, ChangedAddressClosesTheSessionsOnIt_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  const auto before = connect(b, a);
  ASSERT_TRUE(before);

  const size_t bMark = b.node->mark();
  const std::string moved = Lan::address(b.number + 10);
  // The new address stays when the old one, of the same network, goes.
  ASSERT_TRUE(sh("ip netns exec " + b.ns +
                 " sh -c 'echo 1 > /proc/sys/net/ipv4/conf/lan0/promote_secondaries'"));
  ASSERT_TRUE(sh("ip -n " + b.ns + " addr add " + moved + "/24 brd + dev lan0"));
  ASSERT_TRUE(sh("ip -n " + b.ns + " addr del " + b.address() + "/24 dev lan0"));

  const auto changed = b.node->waitDiagnostic("discovery.interfacesChanged", bMark);
  ASSERT_TRUE(changed);
  const auto closed = b.node->waitDiagnostic("control.closed", *changed);
  ASSERT_TRUE(closed) << "the session on the old address stayed";
  ASSERT_TRUE(b.node->waitSnapshot(
      [&](const Json& snapshot) { return !safetyCode(snapshot, a.localID); }, *closed));

  // From the new address B reaches A again once it hears A there, and A swaps the stale
  // session for the new one.
  ASSERT_TRUE(b.hears(a, *closed));
  const auto after = connect(b, a);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->x["local"].get<std::string>().rfind(moved + ":", 0), 0u);
  EXPECT_NE(after->y["id"], before->y["id"]);
}

TEST_F(RuntimeHostsNetns, ShutdownLeavesNoListenerAndFreesTheLock_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  const std::string sockets = "ip netns exec " + a.ns + " ss -Hltn";
  const auto listening = testing::commandOutput(sockets);
  ASSERT_TRUE(listening);
  EXPECT_NE(listening->find("LISTEN"), std::string::npos) << "no listener while running";
  const std::string lock = (a.home / "Velmorine" / "instance.lock").string();
  EXPECT_FALSE(sh("flock -n " + lock + " true")) << "the lock is free while running";

  const size_t mark = a.node->mark();
  a.node->send({{"op", "shutdown"}});
  ASSERT_TRUE(a.node->waitLine(
      [](const Json& line) {
        return line.value("event", "") == "completion" && line.value("op", "") == "shutdown";
      },
      mark));
  // The node still runs: what it let go, the shutdown let go.
  ASSERT_EQ(::kill(a.node->pid(), 0), 0);
  EXPECT_EQ(testing::commandOutput(sockets), "");
  EXPECT_TRUE(sh("flock -n " + lock + " true")) << "the instance lock is still held";
}

// Host C holds `count` idle TCP connections to an address and port, opening a new one for each
// that the other end closes, until it is destroyed.
class IdleConnections {
 public:
  IdleConnections(const Host& host, std::string address, uint16_t port, size_t count)
      : address_(std::move(address)), port_(port), count_(count) {
    opener_ = std::thread([this, ns = host.ns] { inNamespace(ns, [this] { run(); }); });
  }
  ~IdleConnections() {
    stop_ = true;
    opener_.join();
  }
  size_t established() const { return established_; }

 private:
  void run() {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port_);
    ::inet_pton(AF_INET, address_.c_str(), &target.sin_addr);
    std::vector<pollfd> slots(count_, pollfd{-1, 0, 0});
    while (!stop_) {
      // At most a few new connections a round: a steady stream, not a flood.
      size_t opened = 0;
      for (auto& slot : slots) {
        if (slot.fd >= 0 || opened == 10) continue;
        slot.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(slot.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        slot.events = POLLOUT;
        ++opened;
      }
      ::poll(slots.data(), slots.size(), 20);
      for (auto& slot : slots) {
        if (slot.fd < 0 || slot.revents == 0) continue;
        char byte;
        const bool ended = (slot.revents & (POLLERR | POLLHUP)) != 0 ||
                           ((slot.revents & POLLIN) != 0 && ::recv(slot.fd, &byte, 1, 0) <= 0);
        if (ended) {
          ::close(slot.fd);
          slot = pollfd{-1, 0, 0};
        } else if ((slot.revents & POLLOUT) != 0) {
          ++established_;
          slot.events = POLLIN;  // idle from now on: never a byte of handshake
        }
        slot.revents = 0;
      }
    }
    for (auto& slot : slots) {
      if (slot.fd >= 0) ::close(slot.fd);
    }
  }

  std::string address_;
  uint16_t port_;
  size_t count_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> established_{0};
  std::thread opener_;
};

TEST_F(RuntimeHostsNetns, IdleConnectionsFromOneHostLeaveAnotherConnecting_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(bringUp(a));
  ASSERT_NO_FATAL_FAILURE(bringUp(b));
  ASSERT_TRUE(lan->plug(c.name, c.number));
  ASSERT_TRUE(b.hears(a));
  const auto seen = b.node->waitSnapshot(
      [&](const Json& snapshot) { return testing::peerRow(snapshot, a.localID) != nullptr; });
  ASSERT_TRUE(seen);
  const uint16_t port = (*testing::peerRow(*seen, a.localID))["routes"][0]["port"];

  IdleConnections idle(c, a.address(), port, 200);
  ASSERT_TRUE(a.node->waitSessions([&](const Json& sessions) {
    return idle.established() >= 200 && !sessions.empty();
  })) << "the idle connections never reached A";

  EXPECT_TRUE(connect(b, a));
  // A holds only a few of C's handshakes at a time.
  const auto sessions = a.node->sessions();
  ASSERT_TRUE(sessions);
  size_t fromC = 0;
  for (const auto& session : sessions->list) {
    if (session["remote"].get<std::string>().rfind(c.address() + ":", 0) == 0) ++fromC;
  }
  EXPECT_LE(fromC, kMaximumUnauthenticatedPerAddress);
}

}  // namespace
}  // namespace velmorine::runtime
