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

TEST_F(RuntimeSessions, AReplacedSessionLeavesThePeersMessagesToTheNewOne) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  AttachedSessions attached(runtime);
  auto message = testing::outgoingMessage(kLastID, MessageDelivery::sending);
  runtime.onQueue([&] {
    auto first = attached.attach(kLastID, true);
    attached.ready(first, kLastID);
    runtime->messages.push_back(message);
    // The CHAT on its way over the first session.
    const auto chat =
        VEProtocol::chatWithSender(*runtime->localID, message.id, message.frameID, message.text);
    runtime->ledger->begin(*chat, kLastID);
    attached.ready(attached.attach(kLastID, true), kLastID);
  });
  ASSERT_EQ(runtime.diagnosticCount("control.replaced"), 1u);
  runtime.settle();
  // Neither settled nor put back: the replaced session was no longer the peer's.
  ASSERT_EQ(runtime.latest().messages.size(), 1u);
  EXPECT_EQ(runtime.latest().messages[0].delivery, MessageDelivery::sending);
  EXPECT_TRUE(runtime.onQueue([&] { return runtime->active.contains(kLastID); }));
  // Its acknowledgement is still awaited: the ledger expires it when its time runs out.
  world.advance(VEChatLedger::kDefaultTimeoutMilliseconds / 1000.0);
  EXPECT_TRUE(runtime.waitForSnapshot([&](const RuntimeSnapshot& s) {
    return s.messages.size() == 1 && s.messages[0].delivery == MessageDelivery::unconfirmed;
  }));
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
  // Both keep the session that the smaller identifier dialled.
  TestRuntime& first = a.id() < b.id() ? a : b;
  TestRuntime& second = a.id() < b.id() ? b : a;
  EXPECT_TRUE(first.onQueue(
      [&] { return first->outgoingSessions.contains(first->active.at(second.id())); }));
  EXPECT_FALSE(second.onQueue(
      [&] { return second->outgoingSessions.contains(second->active.at(first.id())); }));
  const auto firstLocal =
      first.onQueue([&] { return first->sessions.begin()->second->connection()->localEndpoint(); });
  const auto secondRemote =
      second.onQueue([&] { return second->sessions.begin()->second->connection()->endpoint(); });
  ASSERT_TRUE(firstLocal && secondRemote);
  EXPECT_EQ(firstLocal->port, secondRemote->port);
}

}  // namespace
}  // namespace velmorine::runtime
