// Dialling a peer: its fresh routes one after another, the next one at once after a network
// failure, none after a failure that another route would repeat.

#include <gtest/gtest.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

class RuntimeDialling : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a.startNetworking());
    ASSERT_TRUE(b.startNetworking());
    // b knows a, so that a's HELLO is accepted; a learns b's routes only from the test.
    a.announce();
    ASSERT_TRUE(b.waitForSnapshot(
        [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, a.id()) != nullptr; }));
    bID = b.id();
    fingerprint = b.onQueue([&] { return b->identity->fingerprint(); });
    nonce = b.onQueue([&] { return b->nonce; });
  }

  // b's announcement with `port` reaches a; each port is a route of its own.
  void routeTo(uint16_t port) {
    a.discovery()->hear(
        *VEProtocol::discoveryWithID(bID, "B", fingerprint, nonce, port, 15, ++sequence));
    const size_t routes = ++routeCount;
    ASSERT_TRUE(a.waitForSnapshot([&](const RuntimeSnapshot& s) {
      const auto* peer = TestRuntime::peerIn(s, bID);
      return peer && peer->routes.size() == routes;
    }));
  }
  bool reached() {
    const auto* peer = a.peer(bID);
    return peer && peer->safetyCode.has_value();
  }
  bool attemptOver() {
    return a.onQueue([&] { return !a->connecting.contains(bID); });
  }

  RuntimeWorld world;
  TestRuntime a{world};
  TestRuntime b{world};
  std::string bID, fingerprint, nonce;
  uint64_t sequence = 0;
  size_t routeCount = 0;
};

TEST_F(RuntimeDialling, RefusedRoutesAreFollowedByTheNextAtOnce) {
  testing::RefusingPort first, second;
  routeTo(first.port());
  routeTo(second.port());
  routeTo(b.port());
  a->connectPeer(bID);
  // The clock stands still: each next route is dialled as soon as the last one failed.
  ASSERT_TRUE(a.waitForSnapshot([&](const RuntimeSnapshot&) { return reached(); }));
  EXPECT_EQ(a.diagnosticCount("control.closed"), 2u);
  EXPECT_TRUE(attemptOver());
}

TEST_F(RuntimeDialling, AFailedHandshakeEndsTheAttempt) {
  testing::SilentPort impostor;
  routeTo(impostor.port());
  routeTo(b.port());
  a->connectPeer(bID);
  // Whoever listens there answers the handshake with noise.
  const int accepted = impostor.acceptOne();
  ASSERT_GE(accepted, 0);
  ASSERT_TRUE(testing::SilentPort::answerWithNoise(accepted));
  ASSERT_TRUE(a.waitOnQueue([&] { return !a->connecting.contains(bID); }));
  a.settle();
  EXPECT_EQ(a.diagnosticCount("control.closed"), 1u);
  EXPECT_EQ(a.diagnosticCount("control.ready"), 0u);
  EXPECT_FALSE(reached());
  EXPECT_TRUE(b.onQueue([&] { return b->sessions.empty(); }));
  ::close(accepted);
}

struct StaleCase {
  const char* name;
  bool refreshed;  // the second route was heard again while the first was tried
  bool reached;
};

class RuntimeStaleRoute : public RuntimeDialling,
                          public ::testing::WithParamInterface<StaleCase> {};

TEST_P(RuntimeStaleRoute, IsSkippedWhenItsLastAnnouncementIsTenSecondsOld) {
  testing::SilentPort silent;
  routeTo(silent.port());
  routeTo(b.port());
  a->connectPeer(bID);
  ASSERT_TRUE(a.waitOnQueue([&] { return a->connecting.contains(bID); }));
  if (GetParam().refreshed) {
    world.advance(5);
    a.discovery()->hear(
        *VEProtocol::discoveryWithID(bID, "B", fingerprint, nonce, b.port(), 15, ++sequence));
    a.settle();
    world.advance(5);
  } else {
    world.advance(10);
  }
  // The silent route's handshake ran out of time; the next route is fresh or not.
  if (GetParam().reached) {
    EXPECT_TRUE(a.waitForSnapshot([&](const RuntimeSnapshot&) { return reached(); }));
  } else {
    ASSERT_TRUE(a.waitOnQueue([&] { return !a->connecting.contains(bID); }));
    a.settle();
    EXPECT_FALSE(reached());
    EXPECT_TRUE(b.onQueue([&] { return b->sessions.empty(); }));
  }
  EXPECT_EQ(a.diagnosticCount("control.closed"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Routes, RuntimeStaleRoute,
                         ::testing::Values(StaleCase{"HeardAgain", true, true},
                                           StaleCase{"TenSecondsOld", false, false}),
                         [](const ::testing::TestParamInfo<StaleCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeDialling, OneAttemptAtATime) {
  testing::SilentPort silent;
  routeTo(silent.port());
  a->connectPeer(bID);
  a->connectPeer(bID);
  ASSERT_TRUE(a.waitOnQueue([&] { return a->connecting.contains(bID); }));
  a.settle();
  EXPECT_EQ(a.onQueue([&] { return a->sessions.size(); }), 1u);
}

TEST_F(RuntimeDialling, APeerWithoutFreshRoutesGetsNoDial) {
  testing::SilentPort silent;
  routeTo(silent.port());
  world.advance(10);
  a->connectPeer(bID);
  a.settle();
  EXPECT_FALSE(a.onQueue([&] { return a->connecting.contains(bID); }));
  EXPECT_TRUE(a.onQueue([&] { return a->sessions.empty(); }));
}

TEST_F(RuntimeDialling, NothingIsDialledWhileNetworkingIsOff) {
  routeTo(b.port());
  a->setNetworkEnabled(false);
  a->connectPeer(bID);
  a.settle();
  EXPECT_TRUE(a.onQueue([&] { return a->connecting.empty() && a->sessions.empty(); }));
}

}  // namespace
}  // namespace velmorine::runtime
