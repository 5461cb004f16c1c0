// Admitting sessions: one control session per peer, the duplicate rule, a restarted peer
// process, forged announcements, and the limits on incoming connections.

#include <gtest/gtest.h>

#include "tests/Velmorine/network/fake_stream.h"
#include "tests/Velmorine/reminders/late_reminder_client.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using network::testing::FakeStream;
using network::testing::FakeStreamState;
using testing::RuntimeWorld;
using testing::TestRuntime;

// Peer identifiers that sort before and after any random local identifier.
constexpr const char* kFirstID = "00000000-0000-4000-8000-000000000001";
constexpr const char* kLastID = "ffffffff-ffff-4fff-bfff-fffffffffffe";

// Control sessions attached to a running runtime over streams that never move, so the test
// decides when each becomes ready.
class AttachedSessions {
 public:
  explicit AttachedSessions(TestRuntime& runtime) : runtime_(runtime) {}

  // On the queue: a session this device dialled to `peer`, or one it accepted.
  std::shared_ptr<network::SecurePeerSession> attach(const std::string& peer, bool dialled) {
    auto& self = *runtime_.runtime;
    auto state = std::make_shared<FakeStreamState>();
    auto channel = VESecureChannel::withIdentity(self.identity, dialled,
                                                 dialled ? VEProtocol::kPurposeControl : 0);
    auto connection = network::SecureConnection::over(
        std::make_unique<FakeStream>(state), std::move(*channel), self.queue(), self.networkBudget);
    return self.attachSession(connection, dialled ? std::optional(peer) : std::nullopt,
                              self.generation);
  }
  // On the queue: the session's HELLO was accepted.
  void ready(const std::shared_ptr<network::SecurePeerSession>& session, const std::string& peer,
             std::optional<uint64_t> generation = std::nullopt) {
    auto& self = *runtime_.runtime;
    network::AuthenticatedPeer authenticated{peer, peer, "nonce", testing::peerKey(), "code"};
    self.handleSessionReady(authenticated, session, generation.value_or(self.generation),
                            session->connection()->id(), *self.localID);
  }

 private:
  TestRuntime& runtime_;
};

struct DuplicateCase {
  const char* name;
  bool localFirst;   // the local identifier sorts before the peer's
  bool oldDialled;   // the session ready first was dialled here
  bool newDialled;   // the session ready second was dialled here
  bool newSurvives;  // else the first one stays
};

class DuplicateRule : public ::testing::TestWithParam<DuplicateCase> {
 protected:
  RuntimeWorld world;
};

TEST_P(DuplicateRule, KeepsTheSessionTheSmallerIdentifierDialled) {
  const auto& c = GetParam();
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  const std::string peer = c.localFirst ? kLastID : kFirstID;
  ASSERT_EQ(runtime.id() < peer, c.localFirst);

  AttachedSessions attached(runtime);
  std::shared_ptr<network::SecurePeerSession> first, second;
  runtime.onQueue([&] {
    first = attached.attach(peer, c.oldDialled);
    second = attached.attach(peer, c.newDialled);
    attached.ready(first, peer);
  });
  const size_t readyBefore = runtime.diagnosticCount("control.ready");
  runtime.onQueue([&] { attached.ready(second, peer); });
  runtime.settle();

  const auto& survivor = c.newSurvives ? second : first;
  const auto& loser = c.newSurvives ? first : second;
  EXPECT_EQ(runtime.onQueue([&] { return runtime->active.at(peer); }),
            survivor->connection()->id());
  EXPECT_FALSE(survivor->closed());
  EXPECT_TRUE(loser->closed());
  EXPECT_EQ(runtime.onQueue([&] { return runtime->sessions.size(); }), 1u);
  EXPECT_EQ(runtime.diagnosticCount("control.replaced"), c.newSurvives ? 1u : 0u);
  EXPECT_EQ(runtime.diagnosticCount("control.duplicateRejected"), c.newSurvives ? 0u : 1u);
  EXPECT_EQ(runtime.diagnosticCount("control.ready"), readyBefore + (c.newSurvives ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    WhoDialledWhoIsFirstWhoIsReadyFirst, DuplicateRule,
    ::testing::Values(
        // Crossing dials: the session the smaller identifier dialled survives, whichever was
        // ready first.
        DuplicateCase{"LocalFirstOwnDialReadyFirst", true, true, false, false},
        DuplicateCase{"LocalFirstOwnDialReadySecond", true, false, true, true},
        DuplicateCase{"PeerFirstPeerDialReadyFirst", false, false, true, false},
        DuplicateCase{"PeerFirstPeerDialReadySecond", false, true, false, true},
        // The same direction twice: the newer session replaces the older.
        DuplicateCase{"LocalFirstBothDialled", true, true, true, true},
        DuplicateCase{"LocalFirstBothAccepted", true, false, false, true},
        DuplicateCase{"PeerFirstBothDialled", false, true, true, true},
        DuplicateCase{"PeerFirstBothAccepted", false, false, false, true}),
    [](const ::testing::TestParamInfo<DuplicateCase>& row) { return std::string(row.param.name); });

class RuntimeSessions : public ::testing::Test {
 protected:
  RuntimeWorld world;
};

TEST_F(RuntimeSessions, AReplacedSessionPutsWhatWasUnderWayOnItBackForTheNewOne) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  AttachedSessions attached(runtime);
  const auto message = testing::outgoingMessage(kLastID, MessageDelivery::sending);
  runtime.onQueue([&] {
    attached.ready(attached.attach(kLastID, true), kLastID);
    // The CHAT on its way over the first session, its row sending.
    auto& history = *runtime->history;
    const auto row = testing::enqueueSeed(history, message);
    history.execute("UPDATE message_outbox SET state=1 WHERE seq=" + std::to_string(row.sequence));
    runtime->messages.push_back(message);
    const auto chat =
        VEProtocol::chatWithSender(*runtime->localID, message.id, message.frameID, message.text);
    runtime->ledger->begin(*chat, kLastID);
    attached.ready(attached.attach(kLastID, true), kLastID);
  });
  ASSERT_EQ(runtime.diagnosticCount("control.replaced"), 1u);
  runtime.settle();
  EXPECT_TRUE(runtime.onQueue([&] { return runtime->active.contains(kLastID); }));
  // The peer may have closed the first session unread: the row is put back as after any
  // session that ended under it, and the new session decides what becomes of it.
  const auto rows =
      runtime.onQueue([&] { return testing::outboxRows(*runtime->history, message.id); });
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NE(rows[0].state, store::ConversationOutboxState::sending);
  ASSERT_EQ(runtime.latest().messages.size(), 1u);
  EXPECT_NE(runtime.latest().messages[0].delivery, MessageDelivery::sending);
}

TEST_F(RuntimeSessions, AReadyReportOfAnOlderGenerationClosesTheSession) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  AttachedSessions attached(runtime);
  std::shared_ptr<network::SecurePeerSession> session;
  runtime.onQueue([&] {
    session = attached.attach(kLastID, false);
    attached.ready(session, kLastID, runtime->generation - 1);
  });
  EXPECT_TRUE(session->closed());
  EXPECT_FALSE(runtime.onQueue([&] { return runtime->active.contains(kLastID); }));
  EXPECT_EQ(runtime.diagnosticCount("control.ready"), 0u);
}

TEST_F(RuntimeSessions, TwoRuntimesConnectWithOneSafetyCode) {
  TestRuntime a(world), b(world);
  ASSERT_TRUE(a.startNetworking());
  ASSERT_TRUE(b.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, a, b));
  EXPECT_EQ(a.peer(b.id())->safetyCode, b.peer(a.id())->safetyCode);
  EXPECT_TRUE(a.peer(b.id())->online);
  // The dialling side's attempt is over, and the peer counts as contacted.
  EXPECT_TRUE(a.onQueue([&] { return a->connecting.empty(); }));
  EXPECT_TRUE(a.onQueue([&] { return a->directory.peers.at(b.id()).contacted; }));
}

TEST_F(RuntimeSessions, CrossingDialsLeaveOneSessionOnBothSides) {
  TestRuntime a(world), b(world);
  ASSERT_TRUE(a.startNetworking());
  ASSERT_TRUE(b.startNetworking());
  ASSERT_TRUE(testing::introduce(world, a, b));
  a->connectPeer(b.id());
  b->connectPeer(a.id());
  auto settledOn = [](TestRuntime& side, const std::string& peer) {
    return side.onQueue([&] {
      return side->connecting.empty() && side->active.contains(peer) && side->sessions.size() == 1;
    });
  };
  ASSERT_TRUE(world.main.waitUntil([&] { return settledOn(a, b.id()) && settledOn(b, a.id()); }));
  // Both keep one connection, dialled by exactly one of them. (When both dials get through,
  // that is the smaller identifier's; one side may be admitted before the other dials, so
  // which one is left to the duplicate-rule table.)
  TestRuntime& first = a.id() < b.id() ? a : b;
  TestRuntime& second = a.id() < b.id() ? b : a;
  const bool firstDialled = first.onQueue(
      [&] { return first->outgoingSessions.contains(first->active.at(second.id())); });
  const bool secondDialled = second.onQueue(
      [&] { return second->outgoingSessions.contains(second->active.at(first.id())); });
  EXPECT_NE(firstDialled, secondDialled);
  const auto firstLocal =
      first.onQueue([&] { return first->sessions.begin()->second->connection()->localEndpoint(); });
  const auto secondRemote =
      second.onQueue([&] { return second->sessions.begin()->second->connection()->endpoint(); });
  ASSERT_TRUE(firstLocal && secondRemote);
  EXPECT_EQ(firstLocal->port, secondRemote->port);
}

// A device whose process restarted: the same identity in a second runtime (a copy of its
// folder, the same keychain) while the first one still holds its session.
TEST_F(RuntimeSessions, ASessionOfTheDevicesNewProcessReplacesTheOldProcesss) {
  TestRuntime a(world), b(world);
  ASSERT_TRUE(a.startNetworking());
  ASSERT_TRUE(b.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, a, b));
  const std::string bID = b.id();
  const std::string oldNonce = b.onQueue([&] { return b->nonce; });

  velmorine::testing::TemporaryFolder copy;
  std::filesystem::copy_file(b.folder() / store::LocalStore::kDocumentName,
                             copy / store::LocalStore::kDocumentName);
  TestRuntime restarted(
      world, testing::RuntimeOptions().withFolder(copy.path()).withKeychain(b.keychain()));
  ASSERT_TRUE(restarted.startNetworking());
  ASSERT_EQ(restarted.id(), bID);

  // Its announcement alone proves nothing: the session to the old process stays.
  restarted.announce();
  ASSERT_TRUE(a.waitForDiagnostic("discovery.processChanged"));
  a.settle();
  EXPECT_TRUE(a.peer(bID)->safetyCode);
  EXPECT_EQ(a.diagnosticCount("control.closed"), 0u);

  // A session of the new process does.
  a.announce();
  ASSERT_TRUE(restarted.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, a.id()) != nullptr; }));
  restarted->connectPeer(a.id());
  ASSERT_TRUE(restarted.waitForSnapshot([&](const RuntimeSnapshot& s) {
    const auto* peer = TestRuntime::peerIn(s, a.id());
    return peer && peer->safetyCode;
  }));
  ASSERT_TRUE(b.waitForDiagnostic("control.closed"));
  const std::string newNonce = restarted.onQueue([&] { return restarted->nonce; });
  ASSERT_TRUE(a.waitOnQueue([&] {
    return a->sessions.size() == 1 && a->active.contains(bID) &&
           a->sessions.at(a->active.at(bID))->peer()->nonce == newNonce;
  }));
  EXPECT_NE(newNonce, oldNonce);
  EXPECT_EQ(a.diagnosticCount("control.replaced"), 0u);
  EXPECT_EQ(a.diagnosticCount("control.duplicateRejected"), 0u);
}

struct ForgedCase {
  const char* name;
  bool newNonce;
  bool otherKey;
};

class ForgedAnnouncement : public RuntimeSessions,
                           public ::testing::WithParamInterface<ForgedCase> {};

TEST_P(ForgedAnnouncement, LeavesAnAuthenticatedSessionUp) {
  TestRuntime a(world), b(world);
  ASSERT_TRUE(a.startNetworking());
  ASSERT_TRUE(b.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, a, b));
  const auto genuine = testing::lastAnnouncement(b);
  ASSERT_TRUE(genuine);
  const auto impostor = *VEIdentity::generate();
  const auto forged = *VEProtocol::discoveryWithID(
      genuine->deviceID(), genuine->displayName(),
      GetParam().otherKey ? impostor->fingerprint() : genuine->fingerprint(),
      GetParam().newNonce ? std::string(64, 'e') : genuine->nonce(), 4242, 15, 1);

  a.discovery()->hear(forged, "127.0.0.9");
  ASSERT_TRUE(a.waitForDiagnostic("discovery.processChanged"));
  a.settle();
  b.settle();
  EXPECT_TRUE(a.peer(b.id())->safetyCode);
  EXPECT_TRUE(b.peer(a.id())->safetyCode);
  EXPECT_EQ(a.diagnosticCount("control.closed"), 0u);
  EXPECT_EQ(b.diagnosticCount("control.closed"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Forgeries, ForgedAnnouncement,
                         ::testing::Values(ForgedCase{"NewNonce", true, false},
                                           ForgedCase{"OtherKey", false, true},
                                           ForgedCase{"Both", true, true}),
                         [](const ::testing::TestParamInfo<ForgedCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeSessions, AProcessChangeWithoutAnAuthenticatedSessionResetsThePeer) {
  TestRuntime a(world);
  ASSERT_TRUE(a.startNetworking());
  testing::SilentPort silent;
  const auto device = *VEIdentity::generate();
  const std::string deviceID = testing::newID();
  auto heard = [&](const std::string& nonce, uint64_t sequence) {
    return *VEProtocol::discoveryWithID(deviceID, "Peer", device->fingerprint(), nonce,
                                        silent.port(), 15, sequence);
  };
  a.discovery()->hear(heard(std::string(64, 'a'), 1));
  ASSERT_TRUE(a.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, deviceID) != nullptr; }));
  // A dial in its handshake, to a port that never answers.
  a->connectPeer(deviceID);
  ASSERT_TRUE(a.waitOnQueue([&] { return a->connecting.contains(deviceID); }));
  const auto dialled = a.onQueue([&] { return *a->connecting.at(deviceID).connectionID; });

  a.discovery()->hear(heard(std::string(64, 'b'), 1));
  ASSERT_TRUE(a.waitForDiagnostic("discovery.processChanged"));
  a.settle();
  EXPECT_FALSE(a.onQueue([&] { return a->connecting.contains(deviceID); }));
  EXPECT_FALSE(a.onQueue([&] { return a->sessions.contains(dialled); }));
  EXPECT_EQ(a.diagnosticCount("control.closed"), 1u);
  // The new process's route is kept.
  ASSERT_TRUE(a.peer(deviceID));
  ASSERT_EQ(a.peer(deviceID)->routes.size(), 1u);
  EXPECT_EQ(a.peer(deviceID)->routes[0].sequence, 1u);
}

// Incoming connections that never finish their handshake.
class IncomingLimits : public RuntimeSessions {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.startNetworking());
    port = runtime.port();
  }
  size_t sessionCount() {
    return runtime.onQueue([&] { return runtime->sessions.size(); });
  }
  // Opens an idle connection and waits until the runtime holds `expected` sessions.
  testing::IdleClient& open(const std::string& source, size_t expected) {
    clients.push_back(std::make_unique<testing::IdleClient>(source, port));
    EXPECT_TRUE(clients.back()->connected()) << source;
    EXPECT_TRUE(world.main.waitUntil([&] { return sessionCount() == expected; }))
        << source << " " << sessionCount();
    return *clients.back();
  }
  // The remote ports of the runtime's sessions that came from `host`.
  std::set<uint16_t> portsFrom(const std::string& host) {
    return runtime.onQueue([&] {
      std::set<uint16_t> ports;
      for (const auto& [id, session] : runtime->sessions) {
        const auto& endpoint = session->connection()->endpoint();
        if (endpoint && endpoint->host_text() == host) ports.insert(endpoint->port);
      }
      return ports;
    });
  }

  TestRuntime runtime{world};
  uint16_t port = 0;
  std::vector<std::unique_ptr<testing::IdleClient>> clients;
};

TEST_F(IncomingLimits, OneAddressHoldsAtMostFourHandshakes) {
  for (size_t i = 0; i < 4; ++i) open("127.0.0.1", i + 1);
  auto& fifth = open("127.0.0.1", 4);
  EXPECT_TRUE(clients[0]->closedByPeer());
  std::set<uint16_t> expected;
  for (size_t i = 1; i < 5; ++i) expected.insert(clients[i]->localPort());
  EXPECT_EQ(portsFrom("127.0.0.1"), expected);
  EXPECT_TRUE(portsFrom("127.0.0.1").contains(fifth.localPort()));
  // Another address has room of its own.
  open("127.0.0.2", 5);
  EXPECT_EQ(portsFrom("127.0.0.1"), expected);
}

TEST_F(IncomingLimits, IdleConnectionsFromOneAddressLeaveAPeerFromItConnecting) {
  for (size_t i = 0; i < 4; ++i) open("127.0.0.1", i + 1);
  TestRuntime peer(world);
  ASSERT_TRUE(peer.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, peer, runtime));
  EXPECT_TRUE(clients[0]->closedByPeer());
  EXPECT_EQ(sessionCount(), 4u);
}

TEST_F(IncomingLimits, AtThirtyTwoSessionsANewConnectionReplacesTheOldestHandshake) {
  // An authenticated peer first, so that it is the oldest session of all.
  TestRuntime peer(world);
  ASSERT_TRUE(peer.startNetworking());
  ASSERT_TRUE(testing::connectPair(world, peer, runtime));
  const std::string peerID = peer.id();
  ASSERT_EQ(sessionCount(), 1u);
  size_t count = 1;
  for (int host = 2; count < kMaximumSessions; ++host) {
    for (int i = 0; i < 4 && count < kMaximumSessions; ++i) {
      open("127.0.0." + std::to_string(host), ++count);
    }
  }
  ASSERT_EQ(sessionCount(), kMaximumSessions);

  open("127.0.0.20", kMaximumSessions);
  EXPECT_TRUE(clients[0]->closedByPeer());
  EXPECT_TRUE(portsFrom("127.0.0.20").contains(clients.back()->localPort()));
  EXPECT_TRUE(runtime.onQueue([&] { return runtime->active.contains(peerID); }));
  EXPECT_EQ(peer.diagnosticCount("control.closed"), 0u);

  // No dial starts while every slot is taken.
  testing::SilentPort silent;
  const auto device = *VEIdentity::generate();
  const std::string deviceID = testing::newID();
  runtime.discovery()->hear(*VEProtocol::discoveryWithID(
      deviceID, "Other", device->fingerprint(), std::string(64, 'c'), silent.port(), 15, 1));
  ASSERT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, deviceID) != nullptr; }));
  runtime->connectPeer(deviceID);
  runtime.settle();
  EXPECT_FALSE(runtime.onQueue([&] { return runtime->connecting.contains(deviceID); }));
  EXPECT_EQ(sessionCount(), kMaximumSessions);
}

}  // namespace
}  // namespace velmorine::runtime
