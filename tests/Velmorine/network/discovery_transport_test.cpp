#include "Velmorine/network/discovery_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/endpoint.h"
#include "tests/platform/net/private_network.h"

namespace velmorine::network {
namespace {

using platform::InterfaceAddress;
using platform::parse_ipv4;
using velmorine::testing::in_private_network;
using velmorine::testing::ip;

uint32_t v4(const char* text) { return *parse_ipv4(text); }

// ---- the usable-interface rule ----

TEST(UsableInterfaces, KeepsOnlyUpRunningMulticastNonLoopbackNonPointToPoint) {
  const unsigned good = IFF_UP | IFF_RUNNING | IFF_MULTICAST | IFF_BROADCAST;
  const std::vector<InterfaceAddress> entries = {
      {"lo", 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK | IFF_MULTICAST, v4("127.0.0.1"), {}},
      {"tun0", 5, IFF_UP | IFF_RUNNING | IFF_POINTOPOINT | IFF_MULTICAST, v4("10.8.0.2"), {}},
      {"eth1", 3, IFF_UP | IFF_MULTICAST | IFF_BROADCAST, v4("10.1.0.2"), v4("10.1.0.255")},
      {"eth2", 4, IFF_UP | IFF_RUNNING | IFF_BROADCAST, v4("10.2.0.2"), v4("10.2.0.255")},
      {"eth0", 2, good, v4("10.0.0.9"), v4("10.0.0.255")},
      {"wlan0", 6, IFF_UP | IFF_RUNNING | IFF_MULTICAST, v4("10.6.0.2"), {}},
  };
  const auto usable = usableInterfaces(entries);
  ASSERT_EQ(usable.size(), 2u);
  EXPECT_EQ(usable[0], (DiscoveryInterface{"eth0", 2, v4("10.0.0.9"), v4("10.0.0.255")}));
  EXPECT_EQ(usable[1], (DiscoveryInterface{"wlan0", 6, v4("10.6.0.2"), std::nullopt}));
}

TEST(UsableInterfaces, DuplicatesCountOnceAndOrderIsIndexThenLastOctetFirst) {
  const unsigned good = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
  const std::vector<InterfaceAddress> entries = {
      {"eth0", 2, good, v4("10.0.0.9"), {}},
      // Same index, two addresses: the last octet weighs most in the comparison.
      {"eth0", 2, good, v4("192.168.0.1"), {}},
      {"eth0", 2, good, v4("10.0.0.9"), {}},
      {"eth9", 1, good, v4("10.9.0.1"), {}},
  };
  const auto usable = usableInterfaces(entries);
  ASSERT_EQ(usable.size(), 3u);
  EXPECT_EQ(usable[0].name, "eth9");
  EXPECT_EQ(usable[1].address, v4("192.168.0.1"));
  EXPECT_EQ(usable[2].address, v4("10.0.0.9"));
}

TEST(UsableInterfaces, AtMostSixteen) {
  std::vector<InterfaceAddress> entries;
  for (uint32_t i = 1; i <= 20; ++i) {
    entries.push_back({"eth" + std::to_string(i),
                       i,
                       IFF_UP | IFF_RUNNING | IFF_MULTICAST,
                       v4(("10.0.0." + std::to_string(i)).c_str()),
                       {}});
  }
  const auto usable = usableInterfaces(entries);
  ASSERT_EQ(usable.size(), 16u);
  EXPECT_EQ(usable.back().index, 16u);
}

// ---- ticks, callbacks and issues ----

// What one transport reported, gathered on its queue.
struct Reports {
  std::vector<std::vector<DiscoveryInterface>> interfaceChanges;
  struct Status {
    std::vector<DiscoveryIssue> issues;
    size_t interfaces = 0;
    size_t channels = 0;
  };
  std::vector<Status> statuses;
  int announcementsAsked = 0;
};

class TransportFixture {
 public:
  TransportFixture(std::function<std::vector<DiscoveryInterface>()> provider, uint16_t port)
      : provider_(std::move(provider)) {
    queue_.sync([&] {
      transport_ = DiscoveryTransport::create(
          queue_, [this] { return provider_(); }, port);
      transport_->makeAnnouncement = [this]() -> std::optional<std::vector<uint8_t>> {
        ++reports_.announcementsAsked;
        return announcement_;
      };
      transport_->onInterfacesChanged = [this](const auto& list) {
        reports_.interfaceChanges.push_back(list);
      };
      transport_->onStatus = [this](const auto& issues, size_t interfaces, size_t channels) {
        reports_.statuses.push_back({issues, interfaces, channels});
      };
    });
  }
  ~TransportFixture() {
    queue_.sync([&] { transport_.reset(); });
  }

  void on_queue(const std::function<void()>& work) { queue_.sync(work); }
  void advance(double seconds) {
    clock_->advance(seconds);
    queue_.sync([] {});
  }

  std::shared_ptr<platform::ManualUptimeClock> clock_ =
      std::make_shared<platform::ManualUptimeClock>();
  platform::SerialQueue queue_{"test.discovery", clock_};
  std::function<std::vector<DiscoveryInterface>()> provider_;
  std::shared_ptr<DiscoveryTransport> transport_;
  std::optional<std::vector<uint8_t>> announcement_ = std::vector<uint8_t>{'h', 'i'};
  Reports reports_;
};

TEST(DiscoveryTransport, WithoutInterfacesEveryTickRetriesAndReportsNothingOpen) {
  TransportFixture f([] { return std::vector<DiscoveryInterface>{}; }, 41001);
  f.on_queue([&] { f.transport_->start(); });
  f.on_queue([] {});  // the first tick comes at once
  ASSERT_EQ(f.reports_.statuses.size(), 1u);
  f.advance(3.0);
  ASSERT_EQ(f.reports_.statuses.size(), 2u);
  EXPECT_EQ(f.reports_.interfaceChanges.size(), 2u);
  EXPECT_TRUE(f.reports_.interfaceChanges[0].empty());
  EXPECT_EQ(f.reports_.announcementsAsked, 2);
  EXPECT_TRUE(f.reports_.statuses[1].issues.empty());
  EXPECT_EQ(f.reports_.statuses[1].interfaces, 0u);
  EXPECT_EQ(f.reports_.statuses[1].channels, 0u);
}

TEST(DiscoveryTransport, UnusableAnnouncementIsOneIssueWithEinval) {
  TransportFixture f([] { return std::vector<DiscoveryInterface>{}; }, 41002);
  const std::vector<std::optional<std::vector<uint8_t>>> bad = {
      std::nullopt, std::vector<uint8_t>{}, std::vector<uint8_t>(8193, 'x')};
  for (const auto& announcement : bad) {
    f.announcement_ = announcement;
    f.on_queue([&] { f.transport_->sendAnnouncement(); });
  }
  // Not running: a tick does nothing.
  EXPECT_TRUE(f.reports_.statuses.empty());
  f.on_queue([&] { f.transport_->start(); });
  for (const auto& announcement : bad) {
    f.announcement_ = announcement;
    f.on_queue([&] { f.transport_->sendAnnouncement(); });
    ASSERT_FALSE(f.reports_.statuses.empty());
    EXPECT_EQ(f.reports_.statuses.back().issues,
              (std::vector<DiscoveryIssue>{{"", "announcement", EINVAL}}));
  }
  f.on_queue([&] { f.transport_->stop(); });
  const auto count = f.reports_.statuses.size();
  f.advance(10.0);
  EXPECT_EQ(f.reports_.statuses.size(), count);
}

// ---- real sockets, inside a private network namespace ----

// A veth end is up at once but running only once the kernel sees the carrier of its peer.
bool usable_interfaces_reach(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (DiscoveryTransport::currentInterfaces().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
bool both_ends_running() { return usable_interfaces_reach(2); }

// Two ends of a veth pair in one private namespace: 10.77.0.1 on vm0, 10.77.0.2 on vm1.
// Multicast sent out of one end arrives on the other, and loops back on the sending one. Both
// addresses are local to the namespace, so datagrams from one arriving on the other need
// accept_local (they would otherwise be dropped as martians).
bool make_veth_pair() {
  return system(
             "sysctl -qw net.ipv4.conf.all.accept_local=1 net.ipv4.conf.all.rp_filter=0 "
             "net.ipv4.conf.default.accept_local=1 net.ipv4.conf.default.rp_filter=0") == 0 &&
         ip("link set lo up") && ip("link add vm0 type veth peer name vm1") &&
         ip("addr add 10.77.0.1/24 brd + dev vm0") && ip("addr add 10.77.0.2/24 brd + dev vm1") &&
         ip("link set vm0 up") && ip("link set vm1 up") && both_ends_running();
}

struct Heard {
  std::vector<uint8_t> bytes;
  std::string host;
  std::string interface;
};

// Collects datagrams and wakes a waiter when one matching `until` arrives.
class Ear {
 public:
  void hear(Heard heard) {
    std::lock_guard lock(mutex_);
    all_.push_back(heard);
    if (until_ && until_(heard) && !fired_) {
      fired_ = true;
      done_.set_value();
    }
  }
  bool wait_for(std::function<bool(const Heard&)> until) {
    std::future<void> future;
    {
      std::lock_guard lock(mutex_);
      until_ = std::move(until);
      fired_ = false;
      done_ = {};
      future = done_.get_future();
      for (const auto& heard : all_) {
        if (until_(heard) && !fired_) {
          fired_ = true;
          done_.set_value();
        }
      }
    }
    return future.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  }
  std::vector<Heard> all() {
    std::lock_guard lock(mutex_);
    return all_;
  }

 private:
  std::mutex mutex_;
  std::vector<Heard> all_;
  std::function<bool(const Heard&)> until_;
  std::promise<void> done_;
  bool fired_ = false;
};

void listen(TransportFixture& f, Ear& ear) {
  f.on_queue([&] {
    f.transport_->onDatagram = [&](std::vector<uint8_t> bytes, std::string host,
                                   std::string interface) {
      ear.hear({std::move(bytes), std::move(host), std::move(interface)});
    };
  });
}

// The body runs on a thread in a private network namespace; skips without the privilege.
#define RUN_IN_PRIVATE_NETWORK(...)                                     \
  do {                                                                  \
    std::string why;                                                    \
    if (!in_private_network([&] __VA_ARGS__, why)) GTEST_SKIP() << why; \
  } while (0)

TEST(DiscoveryTransportNetns, AnnouncesByMulticastAndBroadcastAndHearsPerInterface_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    Ear ear;  // outlives the transport that calls it
    TransportFixture f(&DiscoveryTransport::currentInterfaces, kDiscoveryPort);
    listen(f, ear);
    f.announcement_ = std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'};
    f.on_queue([&] { f.transport_->start(); });
    // vm1 hears vm0's announcement off the wire, and the other way round.
    EXPECT_TRUE(
        ear.wait_for([](const Heard& h) { return h.interface == "vm1" && h.host == "10.77.0.1"; }));
    EXPECT_TRUE(
        ear.wait_for([](const Heard& h) { return h.interface == "vm0" && h.host == "10.77.0.2"; }));
    f.on_queue([] {});
    ASSERT_EQ(f.reports_.interfaceChanges.size(), 1u);
    const auto& list = f.reports_.interfaceChanges[0];
    ASSERT_EQ(list.size(), 2u);
    for (const auto& interface : list) {
      EXPECT_EQ(interface.index, if_nametoindex(interface.name.c_str()));
      EXPECT_EQ(interface.broadcast, v4("10.77.0.255"));
    }
    ASSERT_EQ(f.reports_.statuses.size(), 1u);
    EXPECT_TRUE(f.reports_.statuses[0].issues.empty());
    EXPECT_EQ(f.reports_.statuses[0].interfaces, 2u);
    EXPECT_EQ(f.reports_.statuses[0].channels, 2u);
    for (const auto& heard : ear.all()) {
      EXPECT_EQ(heard.bytes, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
      // A socket reports only what its own interface heard.
      EXPECT_TRUE(heard.interface == "vm0" || heard.interface == "vm1");
    }
    // The interface list is unchanged: the next tick keeps the channels.
    const auto generation = f.transport_->generation();
    f.advance(3.0);
    EXPECT_EQ(f.transport_->generation(), generation);
    EXPECT_EQ(f.reports_.interfaceChanges.size(), 1u);
    EXPECT_EQ(f.reports_.statuses.size(), 2u);
  });
}

// A labelled address has a name of its own ("vm0:1") but no device by that name: its channel
// must still open, announce and hear, on the device the label belongs to.
TEST(DiscoveryTransportNetns, LabelledAddressesGetChannelsThatAnnounceAndHear_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    ASSERT_TRUE(ip("addr add 10.77.1.1/24 brd + label vm0:1 dev vm0"));
    ASSERT_TRUE(ip("addr add 10.77.1.2/24 brd + label vm1:1 dev vm1"));
    ASSERT_TRUE(usable_interfaces_reach(4));
    Ear ear;  // outlives the transport that calls it
    TransportFixture f(&DiscoveryTransport::currentInterfaces, kDiscoveryPort);
    listen(f, ear);
    f.on_queue([&] { f.transport_->start(); });
    f.on_queue([] {});
    ASSERT_EQ(f.reports_.statuses.size(), 1u);
    EXPECT_TRUE(f.reports_.statuses[0].issues.empty());
    EXPECT_EQ(f.reports_.statuses[0].interfaces, 4u);
    EXPECT_EQ(f.reports_.statuses[0].channels, 4u);
    std::set<std::string> names;
    for (const auto& interface : f.reports_.interfaceChanges.at(0)) {
      names.insert(interface.name);
      // The label's index is its device's.
      EXPECT_EQ(interface.index, if_nametoindex(interface.name.substr(0, 3).c_str()));
    }
    EXPECT_EQ(names, (std::set<std::string>{"vm0", "vm0:1", "vm1", "vm1:1"}));
    // vm0:1 announces from its own address; it hears what arrives on vm0, under its own name.
    EXPECT_TRUE(
        ear.wait_for([](const Heard& h) { return h.interface == "vm1" && h.host == "10.77.1.1"; }));
    EXPECT_TRUE(ear.wait_for(
        [](const Heard& h) { return h.interface == "vm0:1" && h.host == "10.77.0.2"; }));
    EXPECT_TRUE(ear.wait_for(
        [](const Heard& h) { return h.interface == "vm1:1" && h.host == "10.77.1.1"; }));
  });
}

// Whether a socket here can have the transport's receive buffer: past net.core.rmem_max only
// with CAP_NET_ADMIN (the kernel reports twice the size it was asked for).
bool receive_buffer_granted() {
  const int probe = socket(AF_INET, SOCK_DGRAM, 0);
  int size = kDiscoverySocketReceiveBuffer;
  if (setsockopt(probe, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(probe, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  getsockopt(probe, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  close(probe);
  return granted >= size;
}

// The owner's queue is busy while a burst arrives: the socket must hold it until the next read.
TEST(DiscoveryTransportNetns, BurstWhileTheQueueIsBusyIsHeldForTheNextRead_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    if (!receive_buffer_granted()) {
      GTEST_SKIP() << "needs CAP_NET_ADMIN or net.core.rmem_max of at least "
                   << kDiscoverySocketReceiveBuffer << " for the larger receive buffer";
    }
    ASSERT_TRUE(make_veth_pair());
    const auto vm1 = if_nametoindex("vm1");
    Ear ear;  // outlives the transport that calls it
    TransportFixture f(
        [vm1] {
          return std::vector<DiscoveryInterface>{{"vm1", vm1, v4("10.77.0.2"), v4("10.77.0.255")}};
        },
        kDiscoveryPort);
    listen(f, ear);
    f.announcement_ = std::nullopt;  // this test only listens
    f.on_queue([&] { f.transport_->start(); });
    f.on_queue([] {});

    std::promise<void> release;
    f.queue_.async([done = release.get_future().share()] { done.wait(); });
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    in_addr out{};
    out.s_addr = v4("10.77.0.1");
    ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    group.sin_addr.s_addr = v4("239.255.53.17");
    constexpr int kBurst = 80;  // several times what the system's default buffer holds
    for (int i = 0; i < kBurst; ++i) {
      std::vector<uint8_t> datagram(kDiscoveryMaxDatagram, static_cast<uint8_t>(i));
      ASSERT_EQ(sendto(sender, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&group), sizeof group),
                static_cast<ssize_t>(datagram.size()));
    }
    release.set_value();
    // One more after the queue is free: once it is heard, whatever survived of the burst was.
    ASSERT_EQ(sendto(sender, "end", 3, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group),
              3);
    close(sender);
    ASSERT_TRUE(ear.wait_for([](const Heard& h) { return h.bytes.size() == 3; }));
    int burst = 0;
    for (const auto& heard : ear.all()) burst += heard.bytes.size() == kDiscoveryMaxDatagram;
    EXPECT_EQ(burst, kBurst);
  });
}

TEST(DiscoveryTransportNetns, OversizedAndEmptyDatagramsAreDroppedQuietly_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    // vm1 only: the sender below leaves by vm0 and arrives on vm1 off the wire.
    const auto vm1 = if_nametoindex("vm1");
    Ear ear;  // outlives the transport that calls it
    TransportFixture f(
        [vm1] {
          return std::vector<DiscoveryInterface>{{"vm1", vm1, v4("10.77.0.2"), v4("10.77.0.255")}};
        },
        kDiscoveryPort);
    listen(f, ear);
    f.announcement_ = std::nullopt;  // this test only listens
    f.on_queue([&] { f.transport_->start(); });
    f.on_queue([] {});

    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    in_addr out{};
    out.s_addr = v4("10.77.0.1");
    ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    group.sin_addr.s_addr = v4("239.255.53.17");
    for (size_t size : {size_t{0}, size_t{8193}, size_t{9000}, size_t{8192}, size_t{1}}) {
      std::vector<uint8_t> datagram(size, 'd');
      ASSERT_EQ(sendto(sender, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&group), sizeof group),
                static_cast<ssize_t>(size));
    }
    close(sender);
    ASSERT_TRUE(ear.wait_for([](const Heard& h) { return h.bytes.size() == 1; }));
    std::vector<size_t> sizes;
    for (const auto& heard : ear.all()) sizes.push_back(heard.bytes.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{8192, 1}));
    f.on_queue([] {});
    // Only the announcement issue: foreign datagrams leave no trace in the status.
    for (const auto& status : f.reports_.statuses) {
      EXPECT_EQ(status.issues, (std::vector<DiscoveryIssue>{{"", "announcement", EINVAL}}));
    }
  });
}

TEST(DiscoveryTransportNetns, FailedInterfaceIsReportedEveryTickWhileOthersWork_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    const auto vm0 = if_nametoindex("vm0");
    std::vector<DiscoveryInterface> list = {
        {"vm0", vm0, v4("10.77.0.1"), v4("10.77.0.255")},
        // No such device: binding the socket to it fails.
        {"novm9", 99, v4("10.77.9.1"), std::nullopt},
    };
    TransportFixture f([&list] { return list; }, kDiscoveryPort);
    f.on_queue([&] { f.transport_->start(); });
    f.on_queue([] {});  // the first tick, at once
    f.advance(3.0);
    f.advance(3.0);
    ASSERT_EQ(f.reports_.statuses.size(), 3u);
    for (const auto& status : f.reports_.statuses) {
      ASSERT_EQ(status.issues.size(), 1u);
      EXPECT_EQ(status.issues[0].interface, "novm9");
      EXPECT_EQ(status.issues[0].operation, "configure");
      EXPECT_EQ(status.issues[0].code, ENODEV);
      EXPECT_EQ(status.interfaces, 2u);
      EXPECT_EQ(status.channels, 1u);
    }
    EXPECT_EQ(f.reports_.interfaceChanges.size(), 1u);

    // A changed list reopens every channel and forgets the old setup issues.
    f.on_queue([&] { list.pop_back(); });
    const auto generation = f.transport_->generation();
    f.advance(3.0);
    EXPECT_GT(f.transport_->generation(), generation);
    EXPECT_EQ(f.reports_.interfaceChanges.size(), 2u);
    EXPECT_TRUE(f.reports_.statuses.back().issues.empty());
    EXPECT_EQ(f.reports_.statuses.back().channels, 1u);
  });
}

TEST(DiscoveryTransportNetns, RestartAndStopCloseTheChannels_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    Ear ear;  // outlives the transport that calls it
    TransportFixture f(&DiscoveryTransport::currentInterfaces, kDiscoveryPort);
    listen(f, ear);
    f.on_queue([&] { f.transport_->start(); });
    f.on_queue([] {});
    uint64_t generation = 0;
    f.on_queue([&] {
      generation = f.transport_->generation();
      f.transport_->start();
    });
    f.on_queue([] {});
    EXPECT_GT(f.transport_->generation(), generation);
    EXPECT_EQ(f.reports_.interfaceChanges.size(), 2u);
    EXPECT_EQ(f.transport_->channelCount(), 2u);

    f.on_queue([&] { f.transport_->stop(); });
    EXPECT_EQ(f.transport_->channelCount(), 0u);
    EXPECT_TRUE(f.transport_->interfaces().empty());
    const auto heard_before = ear.all().size();
    // Sockets are closed: a datagram sent now reaches no channel of this transport.
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    group.sin_addr.s_addr = v4("239.255.53.17");
    in_addr out{};
    out.s_addr = v4("10.77.0.1");
    setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
    close(sender);
    f.advance(3.0);
    EXPECT_EQ(ear.all().size(), heard_before);
  });
}

TEST(DiscoveryTransportNetns, TwoInstancesShareThePort_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    Ear ear_a;
    Ear ear_b;
    TransportFixture a(&DiscoveryTransport::currentInterfaces, kDiscoveryPort);
    TransportFixture b(&DiscoveryTransport::currentInterfaces, kDiscoveryPort);
    listen(a, ear_a);
    listen(b, ear_b);
    a.announcement_ = std::vector<uint8_t>{'A'};
    b.announcement_ = std::vector<uint8_t>{'B'};
    a.on_queue([&] { a.transport_->start(); });
    a.on_queue([] {});
    b.on_queue([&] { b.transport_->start(); });
    b.on_queue([] {});
    // A's first announcement went out before B listened; its next tick reaches B.
    a.advance(3.0);
    EXPECT_TRUE(
        ear_a.wait_for([](const Heard& h) { return h.bytes == std::vector<uint8_t>{'B'}; }));
    EXPECT_TRUE(
        ear_b.wait_for([](const Heard& h) { return h.bytes == std::vector<uint8_t>{'A'}; }));
    a.on_queue([] {});
    b.on_queue([] {});
    EXPECT_TRUE(a.reports_.statuses.at(0).issues.empty());
    EXPECT_TRUE(b.reports_.statuses.at(0).issues.empty());
  });
}

}  // namespace
}  // namespace velmorine::network
