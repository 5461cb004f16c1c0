#include "Velmorine/network/discovery_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "Velmorine/network/discovery_transport.h"
#include "native/secure/ve_identity.h"
#include "platform/net/endpoint.h"
#include "tests/platform/net/private_network.h"

namespace velmorine {
namespace {

using platform::parse_ipv4;
using velmorine::testing::in_private_network;
using velmorine::testing::ip;

#define RUN_IN_PRIVATE_NETWORK(...)                                     \
  do {                                                                  \
    std::string why;                                                    \
    if (!in_private_network([&] __VA_ARGS__, why)) GTEST_SKIP() << why; \
  } while (0)

bool make_veth_pair() {
  if (system("sysctl -qw net.ipv4.conf.all.accept_local=1 net.ipv4.conf.all.rp_filter=0 "
             "net.ipv4.conf.default.accept_local=1 net.ipv4.conf.default.rp_filter=0") != 0) {
    return false;
  }
  if (!(ip("link set lo up") && ip("link add vm0 type veth peer name vm1") &&
        ip("addr add 10.77.0.1/24 brd + dev vm0") && ip("addr add 10.77.0.2/24 brd + dev vm1") &&
        ip("link set vm0 up") && ip("link set vm1 up"))) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (network::DiscoveryTransport::currentInterfaces().size() < 2) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Everything one probe reported, and a way to wait for a report that matches.
class Reports {
 public:
  void attach(VEDiscoveryProbe& probe) {
    probe.onUpdate = [this](const std::string& status, const std::vector<std::string>& lines) {
      std::lock_guard lock(mutex_);
      last_status_ = status;
      last_lines_ = lines;
    };
    probe.onSnapshot = [this](int phase, const std::vector<VEDiscoveredPeer>& peers) {
      std::lock_guard lock(mutex_);
      snapshots_.push_back({last_status_, phase, peers, last_lines_});
      check();
    };
  }
  struct Snapshot {
    std::string status;
    int phase = -1;
    std::vector<VEDiscoveredPeer> peers;
    std::vector<std::string> lines;
  };
  std::optional<Snapshot> wait_for(std::function<bool(const Snapshot&)> until) {
    std::future<Snapshot> future;
    {
      std::lock_guard lock(mutex_);
      until_ = std::move(until);
      done_ = {};
      fired_ = false;
      future = done_.get_future();
      for (const auto& snapshot : snapshots_) {
        if (!fired_ && until_(snapshot)) {
          fired_ = true;
          done_.set_value(snapshot);
        }
      }
    }
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

 private:
  void check() {
    if (until_ && !fired_ && until_(snapshots_.back())) {
      fired_ = true;
      done_.set_value(snapshots_.back());
    }
  }
  std::mutex mutex_;
  std::string last_status_;
  std::vector<std::string> last_lines_;
  std::vector<Snapshot> snapshots_;
  std::function<bool(const Snapshot&)> until_;
  std::promise<Snapshot> done_;
  bool fired_ = false;
};

// A plain socket on the discovery port that hears the group on vm1.
int group_listener() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  timeval timeout{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(53317);
  bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = *parse_ipv4("239.255.53.17");
  membership.imr_interface.s_addr = *parse_ipv4("10.77.0.2");
  setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
  return fd;
}

std::optional<protocol::DiscoveryAnnouncement> next_announcement(int fd) {
  std::vector<uint8_t> buffer(8193);
  const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
  if (got <= 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(got));
  auto result = protocol::parse_discovery(buffer, core::Uuid());
  return result.announcement;
}

void send_to_group(const std::string& text) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr out{};
  out.s_addr = *parse_ipv4("10.77.0.1");
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(53317);
  group.sin_addr.s_addr = *parse_ipv4("239.255.53.17");
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
  close(fd);
}

protocol::DiscoveryAnnouncement peer_record(int n, const std::string& name, uint64_t sequence) {
  char id[37];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", n);
  protocol::DiscoveryAnnouncement a;
  a.wire_major = 2;
  a.device_id = *core::Uuid::parse(id);
  a.display_name_utf8 = name;
  a.tcp_port = 4000;
  a.secure_channel = "velsecure-v1";
  a.public_key_fingerprint = std::string(64, 'e');
  a.process_nonce = std::string(64, 'f');
  a.sequence = sequence;
  a.platform = n % 6;
  return a;
}

TEST(DiscoveryProbe, AnnouncesAFreshThrowAwayIdentityFromSequenceOne_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    const int listener = group_listener();
    platform::SerialQueue main_queue("test.main");
    Reports reports;
    auto probe = VEDiscoveryProbe::create(main_queue);
    reports.attach(*probe);

    std::vector<protocol::DiscoveryAnnouncement> firsts;
    for (int start = 0; start < 2; ++start) {
      probe->start();
      auto first = next_announcement(listener);
      ASSERT_TRUE(first);
      EXPECT_EQ(first->sequence, 1u);
      EXPECT_EQ(first->display_name_utf8, "Velmorine Mac discovery probe");
      EXPECT_EQ(first->platform, protocol::kPlatformLinux);
      EXPECT_EQ(first->capabilities, 0u);
      firsts.push_back(*first);

      // The announced port is real: a connection is accepted and closed at once.
      const int client = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in target{};
      target.sin_family = AF_INET;
      target.sin_port = htons(first->tcp_port);
      target.sin_addr.s_addr = *parse_ipv4("10.77.0.1");
      ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&target), sizeof target), 0);
      char byte;
      timeval timeout{30, 0};
      setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      EXPECT_EQ(recv(client, &byte, 1, 0), 0);
      close(client);

      probe->stop();
      auto stopped = reports.wait_for([](const auto& s) { return s.phase == 0; });
      ASSERT_TRUE(stopped);
      EXPECT_EQ(stopped->status, "探针已停止");
      // Drain what the first run sent so the next start's first datagram is read next.
      probe->queue().sync([] {});
      timeval quick{0, 1};
      setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &quick, sizeof quick);
      while (next_announcement(listener)) {
      }
      timeval slow{30, 0};
      setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &slow, sizeof slow);
    }
    EXPECT_NE(firsts[0].device_id, firsts[1].device_id);
    EXPECT_NE(firsts[0].public_key_fingerprint, firsts[1].public_key_fingerprint);
    EXPECT_NE(firsts[0].process_nonce, firsts[1].process_nonce);
    close(listener);
    probe.reset();
    main_queue.sync([] {});  // reports stay alive until the last callback ran
  });
}

TEST(DiscoveryProbe, TwoProbesListEachOther_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    platform::SerialQueue main_queue("test.main");
    const std::vector<uint8_t> seed(32, 0x42);
    const auto configured = *core::Uuid::parse("11111111-2222-4333-8444-555555555555");
    Reports reports_a;
    Reports reports_b;
    auto a = VEDiscoveryProbe::create(main_queue);
    auto b = VEDiscoveryProbe::createWithDeviceID(main_queue, configured, seed);
    ASSERT_TRUE(b);
    reports_a.attach(*a);
    reports_b.attach(*b);
    a->start();
    b->start();

    auto heard_b = reports_a.wait_for(
        [&](const auto& s) { return !s.peers.empty() && s.peers[0].deviceID == configured; });
    ASSERT_TRUE(heard_b);
    EXPECT_EQ(heard_b->phase, 1);
    EXPECT_EQ(heard_b->status, "已读取公告 · 尚未进行 Noise 身份认证");
    EXPECT_EQ(heard_b->peers[0].name, "Velmorine");
    EXPECT_EQ(heard_b->peers[0].platform, "Linux");
    EXPECT_TRUE(heard_b->peers[0].endpoint.starts_with("10.77.0."));
    EXPECT_EQ(heard_b->lines[0], "Velmorine · " + heard_b->peers[0].endpoint);

    auto heard_a = reports_b.wait_for([](const auto& s) { return s.peers.size() == 1; });
    ASSERT_TRUE(heard_a);
    EXPECT_EQ(heard_a->peers[0].name, "Velmorine Mac discovery probe");
    // Neither lists itself.
    EXPECT_EQ(heard_b->peers.size(), 1u);
    a.reset();
    b.reset();
    main_queue.sync([] {});
  });
}

TEST(DiscoveryProbe, ConfiguredIdentityNeedsA32ByteSeedAndAnnouncesItsFingerprint_NeedsRoot) {
  platform::SerialQueue main_queue("test.main");
  const auto id = *core::Uuid::parse("11111111-2222-4333-8444-555555555555");
  EXPECT_FALSE(VEDiscoveryProbe::createWithDeviceID(main_queue, id, std::vector<uint8_t>(31, 1)));
  EXPECT_FALSE(VEDiscoveryProbe::createWithDeviceID(main_queue, id, std::vector<uint8_t>(33, 1)));
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    const int listener = group_listener();
    const std::vector<uint8_t> seed(32, 0x42);
    auto probe = VEDiscoveryProbe::createWithDeviceID(main_queue, id, seed);
    ASSERT_TRUE(probe);
    probe->start();
    auto first = next_announcement(listener);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->device_id, id);
    EXPECT_EQ(first->display_name_utf8, "Velmorine");
    EXPECT_EQ(first->public_key_fingerprint, (*VEIdentity::withSecret(seed))->fingerprint());
    close(listener);
    probe.reset();
    main_queue.sync([] {});  // reports stay alive until the last callback ran
  });
}

TEST(DiscoveryProbe, WithoutAUsableInterfaceItSaysSo_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(ip("link set lo up"));  // loopback only: not usable
    platform::SerialQueue main_queue("test.main");
    Reports reports;
    auto probe = VEDiscoveryProbe::create(main_queue);
    reports.attach(*probe);
    probe->start();
    auto report = reports.wait_for([](const auto& s) { return s.phase == 2; });
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, "没有可用的 Wi-Fi / 以太网 IPv4 接口");
    probe.reset();
    main_queue.sync([] {});  // reports stay alive until the last callback ran
  });
}

TEST(DiscoveryProbe, KeepsAt128PeersAndDropsThoseNotHeardFor10Seconds_NeedsRoot) {
  RUN_IN_PRIVATE_NETWORK({
    ASSERT_TRUE(make_veth_pair());
    auto uptime = std::make_shared<platform::ManualUptimeClock>();
    std::atomic<double> wall{5000.0};
    VEDiscoveryProbeEnvironment environment;
    environment.uptime = uptime;
    environment.wallClock = [&wall] { return wall.load(); };
    platform::SerialQueue main_queue("test.main");
    Reports reports;
    auto probe = VEDiscoveryProbe::create(main_queue, environment);
    reports.attach(*probe);
    probe->start();
    ASSERT_TRUE(reports.wait_for([](const auto& s) { return s.phase == 1; }));

    // In batches, each awaited, so that no datagram is lost to a full receive buffer.
    auto lists = [](int n) {
      return [id = peer_record(n, "", 1).device_id](const Reports::Snapshot& s) {
        for (const auto& peer : s.peers) {
          if (peer.deviceID == id) return true;
        }
        return false;
      };
    };
    for (int n = 1; n <= 128; ++n) {
      send_to_group(*protocol::serialize_discovery(peer_record(n, "peer", 1)));
      if (n % 16 == 0) {
        ASSERT_TRUE(reports.wait_for(lists(n))) << n;
      }
    }
    send_to_group(*protocol::serialize_discovery(peer_record(129, "peer", 1)));
    // A known peer, renamed, after the 129th: once it shows, the 129th has been read.
    send_to_group(*protocol::serialize_discovery(peer_record(1, "marker", 2)));
    auto full = reports.wait_for([](const auto& s) {
      for (const auto& peer : s.peers) {
        if (peer.name == "marker") return true;
      }
      return false;
    });
    ASSERT_TRUE(full);
    EXPECT_EQ(full->peers.size(), 128u);
    for (const auto& peer : full->peers) {
      EXPECT_NE(peer.deviceID, peer_record(129, "", 1).device_id);
    }
    // Every platform number gets its own label; 0 (n = 6) has no name.
    const std::map<int, std::string> labels = {{1, "Windows"}, {2, "Linux"}, {3, "iOS"},
                                               {4, "Android"}, {5, "macOS"}, {6, "Unknown"}};
    for (const auto& [n, label] : labels) {
      const auto id = peer_record(n, "", 1).device_id;
      for (const auto& peer : full->peers) {
        if (peer.deviceID == id) {
          EXPECT_EQ(peer.platform, label) << n;
        }
      }
    }

    // 10.5 seconds later on the wall clock, the next tick forgets them all.
    wall = wall.load() + 10.5;
    uptime->advance(3.0);
    auto empty = reports.wait_for([](const auto& s) { return s.phase == 1 && s.peers.empty(); });
    ASSERT_TRUE(empty);
    probe.reset();
    main_queue.sync([] {});  // reports stay alive until the last callback ran
  });
}

}  // namespace
}  // namespace velmorine
