// The runtime's heartbeat and its side of discovery: announcements, the five-second work,
// pruning, callbacks of a stopped run, and what a peer's new process resets.

#include <gtest/gtest.h>
#include <net/if.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

class RuntimeDiscovery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(runtime.startNetworking()); }

  // Another device's announcement heard now, with a route to `port`.
  void hear(uint16_t port, const std::string& nonce = std::string(64, 'a')) {
    runtime.discovery()->hear(*VEProtocol::discoveryWithID(deviceID, "Peer", device->fingerprint(),
                                                           nonce, port, 15, ++sequence));
    ASSERT_TRUE(runtime.waitForSnapshot(
        [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, deviceID) != nullptr; }));
  }
  // Moves the clocks; the heartbeat runs once if a beat fell due.
  void advance(double seconds) {
    world.advance(seconds);
    runtime.settle();
  }
  static uint64_t sequenceOf(const std::vector<uint8_t>& datagram) {
    return VEProtocol::parseDiscovery(datagram, "00000000-0000-4000-8000-0000000000aa")->sequence();
  }

  RuntimeWorld world;
  TestRuntime runtime{world};
  const std::shared_ptr<VEIdentity> device = *VEIdentity::generate();
  const std::string deviceID = testing::newID();
  uint64_t sequence = 0;
};

TEST_F(RuntimeDiscovery, TheAnnouncementSequenceStartsAtOneAndRunsOnAcrossRestarts) {
  runtime.announce();
  runtime.announce();
  auto first = runtime.discovery();
  const auto sent = first->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sequenceOf(sent[0]), 1u);
  EXPECT_EQ(sequenceOf(sent[1]), 2u);

  runtime->setNetworkEnabled(false);
  runtime->setNetworkEnabled(true);
  ASSERT_TRUE(runtime.waitOnQueue([&] { return runtime->discovery != nullptr; }));
  auto second = runtime.discovery();
  ASSERT_NE(second, first);
  runtime.announce();
  ASSERT_EQ(second->sent().size(), 1u);
  EXPECT_EQ(sequenceOf(second->sent()[0]), 3u);
  const auto announced = VEProtocol::parseDiscovery(second->sent()[0], testing::newID());
  EXPECT_EQ(announced->nonce(), runtime.onQueue([&] { return runtime->nonce; }));
  EXPECT_EQ(announced->port(), runtime.port());
  EXPECT_EQ(announced->displayName(), "Test Host");
}

TEST_F(RuntimeDiscovery, TheFiveSecondWorkRunsOnTheFirstBeatThenEveryFiveSeconds) {
  auto due = [&] { return runtime.onQueue([&] { return runtime->nextReminderDial; }); };
  const double start = world.clock->now();
  advance(1);
  EXPECT_EQ(due(), start + 1 + kFiveSecondWork);
  for (int beat = 2; beat <= 5; ++beat) {
    advance(1);
    EXPECT_EQ(due(), start + 1 + kFiveSecondWork) << beat;
  }
  advance(1);
  EXPECT_EQ(due(), start + 6 + kFiveSecondWork);
  // Stopping and starting networking does not bring it forward.
  runtime->setNetworkEnabled(false);
  runtime->setNetworkEnabled(true);
  runtime.settle();
  advance(1);
  EXPECT_EQ(due(), start + 6 + kFiveSecondWork);
}

struct ReminderDialCase {
  const char* name;
  double routeAge;
  bool dialled;
};

class RuntimeReminderDial : public RuntimeDiscovery,
                            public ::testing::WithParamInterface<ReminderDialCase> {};

TEST_P(RuntimeReminderDial, NeedsARouteHeardWithinTenSeconds) {
  testing::SilentPort silent;
  hear(silent.port());
  runtime.onQueue([&] {
    runtime->reminderOutbox.file(reminders::ReminderOutbox::Item{
        deviceID, deviceID, device->publicKey(), world.clock->now() + 100, {}, {}});
  });
  advance(GetParam().routeAge);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->connecting.contains(deviceID); }),
            GetParam().dialled);
  // Either way the wake-up waits on.
  EXPECT_EQ(runtime.latest().waitingReminderPeers, std::set<std::string>{deviceID});
}

INSTANTIATE_TEST_SUITE_P(Ages, RuntimeReminderDial,
                         ::testing::Values(ReminderDialCase{"Fresh", 9.9, true},
                                           ReminderDialCase{"TenSeconds", 10.0, false}),
                         [](const ::testing::TestParamInfo<ReminderDialCase>& row) {
                           return std::string(row.param.name);
                         });

struct PruneCase {
  const char* name;
  double silence;
  bool present;
};

class RuntimePruning : public RuntimeDiscovery, public ::testing::WithParamInterface<PruneCase> {};

TEST_P(RuntimePruning, DropsAPeerNeverContactedAfterAMinuteOfSilence) {
  hear(4100);
  advance(GetParam().silence);
  EXPECT_EQ(runtime.peer(deviceID) != nullptr, GetParam().present);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->directory.peers.contains(deviceID); }),
            GetParam().present);
}

INSTANTIATE_TEST_SUITE_P(Silences, RuntimePruning,
                         ::testing::Values(PruneCase{"JustUnderAMinute", 59.9, true},
                                           PruneCase{"AMinute", 60.0, false}),
                         [](const ::testing::TestParamInfo<PruneCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeDiscovery, APeerOnceContactedIsKept) {
  TestRuntime peer(world);
  ASSERT_TRUE(peer.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, runtime, peer));
  const std::string peerID = peer.id();
  peer->setNetworkEnabled(false);
  ASSERT_TRUE(runtime.waitForSnapshot([&](const RuntimeSnapshot& s) {
    const auto* row = TestRuntime::peerIn(s, peerID);
    return row && !row->safetyCode;
  }));
  advance(61);
  ASSERT_TRUE(runtime.peer(peerID));
  EXPECT_FALSE(runtime.peer(peerID)->online);
}

TEST_F(RuntimeDiscovery, CallbacksOfAStoppedRunChangeNothing) {
  auto old = runtime.discovery();
  runtime->setNetworkEnabled(false);
  runtime->setNetworkEnabled(true);
  ASSERT_TRUE(runtime.waitOnQueue([&] { return runtime->discovery != nullptr; }));
  runtime.settle();
  const auto status = runtime.latest().status;
  const size_t published = runtime.snapshots.size();
  const uint64_t announced = runtime.onQueue([&] { return runtime->sequence; });

  const auto datagram = *VEProtocol::discoveryWithID(deviceID, "Peer", device->fingerprint(),
                                                     std::string(64, 'a'), 4100, 15, 1);
  runtime.onQueue([&] {
    old->onDatagram(datagram, "127.0.0.1", "lo");
    old->onStatus({network::DiscoveryIssue{"lo", "bind", 13}}, 0, 0);
    old->onInterfacesChanged({});
    EXPECT_FALSE(old->makeAnnouncement());
  });
  runtime.settle();
  EXPECT_EQ(runtime.snapshots.size(), published);
  EXPECT_EQ(runtime.latest().status, status);
  EXPECT_FALSE(runtime.peer(deviceID));
  EXPECT_EQ(runtime.onQueue([&] { return runtime->sequence; }), announced);
  EXPECT_EQ(runtime.diagnosticCount("discovery.interfacesChanged"), 0u);
}

TEST_F(RuntimeDiscovery, TheStatusFollowsWhatDiscoveryReports) {
  const std::vector<network::DiscoveryIssue> issues{{"eth0", "join", 19}};
  runtime.onQueue([&] { runtime.discovery()->onStatus(issues, 2, 1); });
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.partialFailure");
  EXPECT_EQ(runtime.latest().issues, issues);
  runtime.onQueue([&] { runtime.discovery()->onStatus(issues, 0, 0); });
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.noInterfaces");
  // Stopping forgets them.
  runtime->setNetworkEnabled(false);
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "network.paused");
  EXPECT_TRUE(runtime.latest().issues.empty());
}

struct InterfaceCase {
  const char* name;
  bool loopbackListed;
  bool sessionKept;
};

class RuntimeInterfaces : public RuntimeDiscovery,
                          public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(RuntimeInterfaces, ASessionOffTheNewInterfacesCloses) {
  TestRuntime peer(world);
  ASSERT_TRUE(peer.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, runtime, peer));
  std::vector<network::DiscoveryInterface> interfaces;
  if (GetParam().loopbackListed) {
    interfaces.push_back({"lo", ::if_nametoindex("lo"), htonl(INADDR_LOOPBACK), std::nullopt});
  }
  runtime.onQueue([&] { runtime.discovery()->onInterfacesChanged(interfaces); });
  runtime.settle();
  EXPECT_EQ(runtime.diagnosticCount("discovery.interfacesChanged"), 1u);
  EXPECT_EQ(runtime.diagnosticCount("control.closed"), GetParam().sessionKept ? 0u : 1u);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->sessions.size(); }),
            GetParam().sessionKept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Lists, RuntimeInterfaces,
                         ::testing::Values(InterfaceCase{"LoopbackStays", true, true},
                                           InterfaceCase{"LoopbackGone", false, false}),
                         [](const ::testing::TestParamInfo<InterfaceCase>& row) {
                           return std::string(row.param.name);
                         });

// Without an authenticated session, a new process of the peer settles what waited for the
// old one: messages with a durable outbox row wait on, the others fail.
TEST(RuntimeReset, QueuedMessagesWithoutAnOutboxRowFail) {
  RuntimeWorld world;
  velmorine::testing::TemporaryFolder folder;
  const auto device = *VEIdentity::generate();
  const std::string deviceID = testing::newID();
  const auto durable = testing::outgoingMessage(deviceID, MessageDelivery::queued);
  testing::enqueueSeed(*testing::openSeedHistory(folder.path()), durable);

  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.startNetworking());
  auto hear = [&](const std::string& nonce) {
    runtime.discovery()->hear(
        *VEProtocol::discoveryWithID(deviceID, "Peer", device->fingerprint(), nonce, 4100, 15, 1));
  };
  hear(std::string(64, 'a'));
  const auto volatileMessage = testing::outgoingMessage(deviceID, MessageDelivery::queued);
  auto sending = testing::outgoingMessage(deviceID, MessageDelivery::sending);
  runtime.onQueue([&] {
    runtime->messages.push_back(volatileMessage);
    runtime->messages.push_back(sending);
  });
  hear(std::string(64, 'b'));
  ASSERT_TRUE(runtime.waitForDiagnostic("discovery.processChanged"));
  runtime.settle();
  std::map<std::string, MessageDelivery> deliveries;
  for (const auto& message : runtime.latest().messages) deliveries[message.id] = message.delivery;
  EXPECT_EQ(deliveries[durable.id], MessageDelivery::queued);
  EXPECT_EQ(deliveries[volatileMessage.id], MessageDelivery::failed);
  EXPECT_EQ(deliveries[sending.id], MessageDelivery::unconfirmed);
}

}  // namespace
}  // namespace velmorine::runtime
