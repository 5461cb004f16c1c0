#include "Velmorine/network/secure_peer_session.h"

#include <gtest/gtest.h>

#include <map>

#include "Velmorine/network/reminder_route_exchange.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/Velmorine/network/fake_stream.h"
#include "tests/Velmorine/network/session_fixtures.h"

namespace velmorine::network {
namespace {

using namespace testing;

constexpr const char* kLocalID = "11111111-1111-4111-8111-111111111111";
constexpr const char* kRemoteID = "22222222-2222-4222-8222-222222222222";
constexpr const char* kStrangerID = "33333333-3333-4333-8333-333333333333";
const std::string kLocalNonce(64, 'a');
const std::string kRemoteNonce(64, 'b');

// A session under test on one end of a test-driven stream. On the other end is either a raw
// secure connection through which the test writes whatever frames it likes, or a second
// session.
class SessionTest : public ::testing::Test {
 public:
  ~SessionTest() override {
    run([&] {
      session.reset();
      remoteSession.reset();
      remote.reset();
    });
  }

  struct Options {
    uint32_t purpose = 1;
    bool dialled = true;
    bool reminders = false;
    bool durableReceipts = false;
    bool remoteIsSession = false;
    bool remoteReminders = false;
  };

  void open(Options options) {
    options_ = options;
    if (options.reminders) localReminders = std::make_shared<FakeReminderClient>();
    if (options.remoteReminders) remoteReminders = std::make_shared<FakeReminderClient>();
    if (announceRemote) {
      announcements.insert_or_assign(
          kRemoteID,
          announcementOf(kRemoteID, *VEProtocol::fingerprint(remoteIdentity->publicKey()),
                         kRemoteNonce));
    }
    run([&] {
      auto ourChannel = VESecureChannel::withIdentity(localIdentity, options.dialled,
                                                      options.dialled ? options.purpose : 0);
      auto theirChannel = VESecureChannel::withIdentity(remoteIdentity, !options.dialled,
                                                        options.dialled ? 0 : options.purpose);
      auto connection = SecureConnection::over(std::make_unique<FakeStream>(ours),
                                               std::move(*ourChannel), queue, budget);
      remote = SecureConnection::over(std::make_unique<FakeStream>(theirs),
                                      std::move(*theirChannel), queue, budget);
      SecurePeerSession::Configuration configuration{
          kLocalID,
          kLocalNonce,
          localIdentity,
          options.dialled ? std::optional<std::string>(kRemoteID) : std::nullopt,
          options.dialled ? options.purpose : 0,
          localReminders,
          options.durableReceipts};
      session = SecurePeerSession::create(std::move(connection), configuration);
      session->lookup = [&](const std::string& id) -> std::optional<VEAnnouncement> {
        const auto found = announcements.find(id);
        if (found == announcements.end()) return std::nullopt;
        return found->second;
      };
      session->authenticate = [&](const std::string& id, std::span<const uint8_t> key) {
        authenticated.emplace_back(id, std::vector<uint8_t>(key.begin(), key.end()));
        if (trustRefusal) throw TrustFailure(*trustRefusal);
        return "contact-" + id;
      };
      session->onReady = [&](const AuthenticatedPeer& peer) { ready.push_back(peer); };
      session->onFrame = [&](const VEFrame& frame, const AuthenticatedPeer&) {
        delivered.push_back(frame.frame().header_utf8);
      };
      session->onFailure = [&](std::exception_ptr error) { outcomes.push_back(outcomeOf(error)); };
      session->onReminderAvailability = [&](const AuthenticatedPeer& peer,
                                            std::optional<ReminderGrant> grant) {
        availability.emplace_back(peer.wireID, grant);
      };

      if (options.remoteIsSession) {
        remoteSession = SecurePeerSession::create(
            remote, {kRemoteID, kRemoteNonce, remoteIdentity,
                     options.dialled ? std::nullopt : std::optional<std::string>(kLocalID),
                     options.dialled ? 0 : options.purpose, remoteReminders, false});
        remoteSession->lookup = [&](const std::string& id) -> std::optional<VEAnnouncement> {
          if (id != kLocalID) return std::nullopt;
          return announcementOf(kLocalID, *VEProtocol::fingerprint(localIdentity->publicKey()),
                                kLocalNonce);
        };
        remoteSession->authenticate = [](const std::string& id, std::span<const uint8_t>) {
          return id;
        };
        remoteSession->onReady = [&](const AuthenticatedPeer& peer) {
          remoteReady.push_back(peer);
        };
        remoteSession->onFrame = [&](const VEFrame& frame, const AuthenticatedPeer&) {
          remoteDelivered.push_back(frame.frame().header_utf8);
        };
        remoteSession->onReminderAvailability = [&](const AuthenticatedPeer& peer,
                                                    std::optional<ReminderGrant> grant) {
          remoteAvailability.emplace_back(peer.wireID, grant);
        };
        remoteSession->start();
      } else {
        remote->onPlaintext = [&](std::vector<uint8_t> bytes) {
          auto frames = remoteDecoder.feed(bytes);
          ASSERT_TRUE(frames.has_value());
          for (auto& frame : *frames) remoteFrames.push_back(std::move(frame));
        };
        remote->start();
      }
      session->start();
    });
    settle();
  }

  void run(const std::function<void()>& work) { queue.sync(work); }
  // Lets the streams and every queued step run until nothing more happens.
  void settle() {
    for (int i = 0; i < 4; ++i) run([&] { pump(*ours, theirs.get()); });
  }
  void advance(double seconds) {
    clock->advance(seconds);
    settle();
  }

  void remoteSends(const VEFrame& frame) {
    run([&] { ASSERT_TRUE(remote->send(*frame.encoded())); });
    settle();
  }
  void remoteSendsBytes(const std::vector<uint8_t>& bytes) {
    run([&] { ASSERT_TRUE(remote->send(bytes)); });
    settle();
  }
  void remoteHello(const std::string& extra = "") {
    remoteSends(frameOf(
        protocol::FrameKind::hello,
        helloHeader(kRemoteID, kRemoteNonce, options_.purpose == 2 ? "data" : "control", extra)));
  }
  size_t remoteFramesOfKind(const std::string& kind) const {
    size_t count = 0;
    for (const auto& frame : remoteFrames) count += frame.kind() == kind;
    return count;
  }
  size_t notifyRoutesSent() const {
    size_t count = 0;
    for (const auto& frame : remoteFrames) {
      count += frame.frame().header_utf8.find("NOTIFY_ROUTE") != std::string::npos;
    }
    return count;
  }

  Options options_;
  bool announceRemote = true;
  std::shared_ptr<platform::ManualUptimeClock> clock =
      std::make_shared<platform::ManualUptimeClock>();
  platform::SerialQueue queue{"test.session", clock};
  std::shared_ptr<NetworkOutputBudget> budget = std::make_shared<NetworkOutputBudget>();
  std::shared_ptr<const VEIdentity> localIdentity = *VEIdentity::generate();
  std::shared_ptr<const VEIdentity> remoteIdentity = *VEIdentity::generate();
  std::shared_ptr<FakeStreamState> ours = std::make_shared<FakeStreamState>();
  std::shared_ptr<FakeStreamState> theirs = std::make_shared<FakeStreamState>();
  std::shared_ptr<FakeReminderClient> localReminders;
  std::shared_ptr<FakeReminderClient> remoteReminders;
  std::map<std::string, VEAnnouncement> announcements;
  std::optional<TrustFailure::Case> trustRefusal;

  std::shared_ptr<SecurePeerSession> session;
  std::shared_ptr<SecureConnection> remote;
  std::shared_ptr<SecurePeerSession> remoteSession;
  VEFrameDecoder remoteDecoder;
  std::vector<VEFrame> remoteFrames;

  std::vector<std::pair<std::string, std::vector<uint8_t>>> authenticated;
  std::vector<AuthenticatedPeer> ready;
  std::vector<std::string> delivered;
  std::vector<std::string> outcomes;
  std::vector<std::pair<std::string, std::optional<ReminderGrant>>> availability;
  std::vector<AuthenticatedPeer> remoteReady;
  std::vector<std::string> remoteDelivered;
  std::vector<std::pair<std::string, std::optional<ReminderGrant>>> remoteAvailability;
};

TEST_F(SessionTest, TwoSessionsAuthenticateEachOtherAndAnswerPing) {
  open({.dialled = true, .durableReceipts = true, .remoteIsSession = true});
  ASSERT_EQ(ready.size(), 1u);
  ASSERT_EQ(remoteReady.size(), 1u);
  EXPECT_TRUE(outcomes.empty());
  const auto& peer = ready[0];
  EXPECT_EQ(peer.wireID, kRemoteID);
  EXPECT_EQ(peer.contactID, std::string("contact-") + kRemoteID);
  EXPECT_EQ(peer.nonce, kRemoteNonce);
  EXPECT_EQ(peer.publicKey, remoteIdentity->publicKey());
  EXPECT_EQ(peer.safetyCode.size(), 59u);
  EXPECT_EQ(peer.safetyCode, remoteReady[0].safetyCode);
  EXPECT_EQ(remoteReady[0].wireID, kLocalID);
  ASSERT_EQ(authenticated.size(), 1u);
  EXPECT_EQ(authenticated[0].second, remoteIdentity->publicKey());
  // Only the dialling side asked for durable receipts.
  EXPECT_TRUE(remoteSession->supportsDurableAcknowledgments());
  EXPECT_FALSE(session->supportsDurableAcknowledgments());

  run([&] { ASSERT_TRUE(remoteSession->send(*VEProtocol::livenessFrameWithKind("PING", 42))); });
  settle();
  EXPECT_TRUE(delivered.empty());  // the PING is answered, not passed on
  ASSERT_EQ(remoteDelivered.size(), 1u);
  EXPECT_EQ(remoteDelivered[0], R"({"major":2,"type":"PONG","ping_id":42})");

  run([&] { ASSERT_TRUE(remoteSession->send(noteFrame(1))); });
  settle();
  EXPECT_EQ(delivered, std::vector<std::string>{noteFrame(1).frame().header_utf8});
}

TEST_F(SessionTest, SendingBeforeAuthenticationIsRefused) {
  announcements.clear();
  open({.dialled = true});
  run([&] { EXPECT_FALSE(session->send(noteFrame(1))); });
}

TEST_F(SessionTest, HelloWaitsForTheAnnouncementAndHeldFramesFollowInOrder) {
  open({});
  announcements.clear();
  remoteHello();
  for (int n = 1; n <= 3; ++n) remoteSends(noteFrame(n));
  advance(0.1);
  EXPECT_TRUE(session->helloPending());
  EXPECT_EQ(session->pendingFrames(), 3u);
  EXPECT_TRUE(ready.empty());
  EXPECT_TRUE(authenticated.empty());

  announcements.insert_or_assign(
      kRemoteID, announcementOf(kRemoteID, *VEProtocol::fingerprint(remoteIdentity->publicKey()),
                                kRemoteNonce));
  advance(0.1);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(delivered, (std::vector<std::string>{noteFrame(1).frame().header_utf8,
                                                 noteFrame(2).frame().header_utf8,
                                                 noteFrame(3).frame().header_utf8}));
  // Authenticated: the HELLO deadline no longer applies.
  advance(30);
  EXPECT_TRUE(outcomes.empty());
}

// An unauthenticated session costs the queue one timer, armed for the HELLO deadline and fired
// once, exactly then; a HELLO waiting for its announcement adds a retry tick only meanwhile.
TEST_F(SessionTest, HelloDeadlineIsOneTimerFiredOnceAtTwelveSeconds) {
  const double start = clock->now();
  open({});
  run([&] {
    EXPECT_EQ(queue.armed_timers(), 1u);
    EXPECT_EQ(queue.next_deadline(), start + SecurePeerSession::kHelloDeadline);
  });
  clock->set(start + SecurePeerSession::kHelloDeadline - 0.01);
  settle();
  EXPECT_TRUE(outcomes.empty());
  run([&] { EXPECT_EQ(queue.next_deadline(), start + SecurePeerSession::kHelloDeadline); });
  clock->set(start + SecurePeerSession::kHelloDeadline);
  settle();
  EXPECT_EQ(outcomes, std::vector<std::string>{"timeout"});
  run([&] { EXPECT_EQ(queue.armed_timers(), 0u); });
}

TEST_F(SessionTest, RetryTickRunsOnlyWhileTheHelloWaits) {
  open({});
  announcements.clear();
  remoteHello();
  run([&] { EXPECT_EQ(queue.armed_timers(), 2u); });
  announcements.insert_or_assign(
      kRemoteID, announcementOf(kRemoteID, *VEProtocol::fingerprint(remoteIdentity->publicKey()),
                                kRemoteNonce));
  advance(SecurePeerSession::kHelloRetry);
  ASSERT_EQ(ready.size(), 1u);
  run([&] { EXPECT_EQ(queue.armed_timers(), 0u); });
}

struct DeadlineCase {
  const char* name;
  bool sendsHello;
};

class SessionDeadline : public SessionTest, public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(SessionDeadline, NoAcceptedHelloTwelveSecondsAfterStartIsATimeout) {
  open({});
  announcements.clear();
  if (GetParam().sendsHello) remoteHello();
  advance(11.9);
  EXPECT_TRUE(outcomes.empty());
  advance(0.2);
  EXPECT_EQ(outcomes, std::vector<std::string>{"timeout"});
  EXPECT_TRUE(ready.empty());
  EXPECT_TRUE(session->connection()->closed());
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionDeadline,
                         ::testing::Values(DeadlineCase{"PeerSendsNoHello", false},
                                           DeadlineCase{"AnnouncementNeverHeard", true}),
                         [](const auto& test) { return std::string(test.param.name); });

// One hostile or unusual peer behaviour and the session's answer: "open" when it stays up,
// else the way it closed.
struct PeerCase {
  const char* name;
  SessionTest::Options options;
  std::function<void(SessionTest&)> before;  // adjusts the fixture before the session opens
  std::function<void(SessionTest&)> peer;    // what the peer does once the channel is up
  std::string expected;
  bool authenticates;  // whether the trust service is asked
};

class SessionPeerBehaviour : public SessionTest, public ::testing::WithParamInterface<PeerCase> {};

void hello(SessionTest& peerSide, const std::string& extra = "") { peerSide.remoteHello(extra); }
void send(SessionTest& peerSide, const VEFrame& frame) { peerSide.remoteSends(frame); }
void sendBytes(SessionTest& peerSide, const std::vector<uint8_t>& bytes) {
  peerSide.remoteSendsBytes(bytes);
}

TEST_P(SessionPeerBehaviour, EndsAsExpectedAndNothingElseBreaks) {
  const auto& c = GetParam();
  if (c.before) c.before(*this);
  open(c.options);
  c.peer(*this);
  if (c.expected == "open") {
    EXPECT_TRUE(outcomes.empty()) << outcomes.front();
    EXPECT_FALSE(session->closed());
  } else {
    EXPECT_EQ(outcomes, std::vector<std::string>{c.expected});
    EXPECT_TRUE(session->closed());
    EXPECT_TRUE(session->connection()->closed());
    EXPECT_EQ(session->pendingFrames(), 0u);
    // Once closed the session hears nothing more and asks nothing more.
    const size_t readyBefore = ready.size();
    advance(20);
    EXPECT_EQ(ready.size(), readyBefore);
    EXPECT_EQ(outcomes.size(), 1u);
  }
  EXPECT_EQ(!authenticated.empty(), c.authenticates);
  EXPECT_EQ(budget->used(), 0u);
}

const auto kHello = [](SessionTest& peerSide) { hello(peerSide); };
const auto kNoAnnouncement = [](SessionTest& peerSide) { peerSide.announceRemote = false; };

VEFrame helloFrame(const std::string& header, std::vector<uint8_t> payload = {}) {
  return frameOf(protocol::FrameKind::hello, header, std::move(payload));
}

const ReminderGrant kGrant{"route-1", "bearer-1", 1.9e9};

INSTANTIATE_TEST_SUITE_P(
    Hello, SessionPeerBehaviour,
    ::testing::Values(
        PeerCase{"FirstFrameNotHello",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) { send(peerSide, noteFrame(1)); },
                 "invalidHello",
                 false},
        PeerCase{"HelloWithPayload",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(helloHeader(kRemoteID, kRemoteNonce), {1}));
                 },
                 "invalidHello",
                 false},
        PeerCase{"HelloHeaderOf16384Bytes",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(paddedHelloHeader(kRemoteID, kRemoteNonce, 16384)));
                 },
                 "open",
                 true},
        PeerCase{"HelloHeaderOf16385Bytes",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(paddedHelloHeader(kRemoteID, kRemoteNonce, 16385)));
                 },
                 "invalidHello",
                 false},
        PeerCase{"AnotherDeviceThanTheOneDialled",
                 {},
                 [](SessionTest& peerSide) {
                   peerSide.announcements.insert_or_assign(
                       kStrangerID, announcementOf(kStrangerID,
                                                   *VEProtocol::fingerprint(
                                                       peerSide.remoteIdentity->publicKey()),
                                                   kRemoteNonce));
                 },
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(helloHeader(kStrangerID, kRemoteNonce)));
                 },
                 "identityMismatch",
                 false},
        PeerCase{"AnnouncedFingerprintOfAnotherKey",
                 {},
                 [](SessionTest&) {},
                 [](SessionTest& peerSide) {
                   peerSide.announcements.insert_or_assign(
                       kRemoteID,
                       announcementOf(kRemoteID,
                                      *VEProtocol::fingerprint(peerSide.localIdentity->publicKey()),
                                      kRemoteNonce));
                   hello(peerSide);
                 },
                 "identityMismatch",
                 false},
        PeerCase{"NonceOtherThanAnnounced",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(helloHeader(kRemoteID, std::string(64, 'c'))));
                 },
                 "identityMismatch",
                 false},
        PeerCase{"DataHelloOnControlChannel",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(helloHeader(kRemoteID, kRemoteNonce, "data")));
                 },
                 "identityMismatch",
                 false},
        PeerCase{"DeviceIdentifierNotText",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   send(peerSide, helloFrame(R"({"type":"HELLO","device_id":7})"));
                 },
                 "identityMismatch",
                 false},
        PeerCase{"UpperCaseDeviceIdentifier",
                 {.dialled = false},
                 nullptr,
                 [](SessionTest& peerSide) {
                   const std::string upper = "22222222-2222-4222-8222-22222222222A";
                   peerSide.announcements.insert_or_assign(upper,
                                                           peerSide.announcements.at(kRemoteID));
                   send(peerSide, helloFrame(helloHeader(upper, kRemoteNonce)));
                 },
                 "identityMismatch",
                 false},
        PeerCase{
            "TrustServiceRefusesTheKey",
            {},
            [](SessionTest& peerSide) { peerSide.trustRefusal = TrustFailure::Case::changedKey; },
            kHello,
            "trust.changedKey",
            true},
        PeerCase{"TrustServiceBlocksTheContact",
                 {},
                 [](SessionTest& peerSide) { peerSide.trustRefusal = TrustFailure::Case::blocked; },
                 kHello,
                 "trust.blocked",
                 true},
        PeerCase{"SecondHelloAfterAuthentication",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   hello(peerSide);
                   hello(peerSide);
                 },
                 "unexpectedFrame",
                 true},
        PeerCase{"HelloWhileAHelloIsPending",
                 {},
                 kNoAnnouncement,
                 [](SessionTest& peerSide) {
                   hello(peerSide);
                   hello(peerSide);
                 },
                 "unexpectedFrame",
                 false},
        PeerCase{"NotAFrameAtAll",
                 {},
                 nullptr,
                 [](SessionTest& peerSide) {
                   sendBytes(peerSide, {0, 0, 0, 0, 0, 0, 0, 0});
                 },
                 "decoder",
                 false}),
    [](const auto& test) { return std::string(test.param.name); });

// Frames of exactly `total` header-plus-payload bytes, in pieces of at most 65536.
void sendNotesTotalling(SessionTest& peerSide, size_t total) {
  int n = 0;
  while (total > 0) {
    const size_t header = noteFrame(n).frame().header_utf8.size();
    const size_t piece = std::min<size_t>(total, 65536);
    send(peerSide, noteFrame(n, piece - header));
    total -= piece;
    ++n;
  }
}

INSTANTIATE_TEST_SUITE_P(EarlyFrames, SessionPeerBehaviour,
                         ::testing::Values(PeerCase{"SixtyFourHeldFrames",
                                                    {},
                                                    kNoAnnouncement,
                                                    [](SessionTest& peerSide) {
                                                      hello(peerSide);
                                                      for (int n = 0; n < 64; ++n)
                                                        send(peerSide, noteFrame(n));
                                                    },
                                                    "open",
                                                    false},
                                           PeerCase{"SixtyFifthHeldFrame",
                                                    {},
                                                    kNoAnnouncement,
                                                    [](SessionTest& peerSide) {
                                                      hello(peerSide);
                                                      for (int n = 0; n < 65; ++n)
                                                        send(peerSide, noteFrame(n));
                                                    },
                                                    "unexpectedFrame",
                                                    false},
                                           PeerCase{"HeldBytesOf131072",
                                                    {},
                                                    kNoAnnouncement,
                                                    [](SessionTest& peerSide) {
                                                      hello(peerSide);
                                                      sendNotesTotalling(peerSide, 131072);
                                                    },
                                                    "open",
                                                    false},
                                           PeerCase{"HeldBytesPast131072",
                                                    {},
                                                    kNoAnnouncement,
                                                    [](SessionTest& peerSide) {
                                                      hello(peerSide);
                                                      sendNotesTotalling(peerSide, 131072);
                                                      send(peerSide,
                                                           frameOf(protocol::FrameKind::other,
                                                                   R"({"type":"X"})"));
                                                    },
                                                    "unexpectedFrame",
                                                    false}),
                         [](const auto& test) { return std::string(test.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Liveness, SessionPeerBehaviour,
    ::testing::Values(PeerCase{"PingOnDataSession",
                               {.purpose = 2},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 hello(peerSide);
                                 send(peerSide, *VEProtocol::livenessFrameWithKind("PING", 1));
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"PingWithoutIdentifier",
                               {},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 hello(peerSide);
                                 send(peerSide, frameOf(protocol::FrameKind::ping,
                                                        R"({"major":2,"type":"PING"})"));
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"PongWithTextIdentifier",
                               {},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 hello(peerSide);
                                 send(peerSide,
                                      frameOf(protocol::FrameKind::pong,
                                              R"({"major":2,"type":"PONG","ping_id":"7"})"));
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"OtherTypesGoToTheOwner",
                               {},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 hello(peerSide);
                                 send(peerSide, frameOf(protocol::FrameKind::other,
                                                        R"({"type":"NOTIFY_ROUTEX"})"));
                                 send(peerSide, frameOf(protocol::FrameKind::other,
                                                        R"({"type":"ERROR","code":"x"})", {1, 2}));
                               },
                               "open",
                               true}),
    [](const auto& test) { return std::string(test.param.name); });

const auto kNotifyHello = [](SessionTest& peerSide) { hello(peerSide, R"(,"notify_v1":1)"); };

void sendRoutes(SessionTest& peerSide, int count) {
  for (int i = 0; i < count; ++i) send(peerSide, notifyRouteFrame(kGrant));
}

INSTANTIATE_TEST_SUITE_P(
    ReminderRoutes, SessionPeerBehaviour,
    ::testing::Values(PeerCase{"NotNegotiatedLocally",
                               {.reminders = false},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 sendRoutes(peerSide, 1);
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"NotAnnouncedByThePeer",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 hello(peerSide);
                                 sendRoutes(peerSide, 1);
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"RouteWithPayload",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 send(peerSide,
                                      frameOf(protocol::FrameKind::other,
                                              notifyRouteFrame(kGrant).frame().header_utf8, {1}));
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"RouteThatDoesNotParse",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 send(peerSide,
                                      frameOf(protocol::FrameKind::other,
                                              R"({"grant":null,"major":3,"type":"NOTIFY_ROUTE"})"));
                               },
                               "route",
                               true},
                      PeerCase{"EightRoutesInOneWindow",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 sendRoutes(peerSide, 8);
                               },
                               "open",
                               true},
                      PeerCase{"NinthRouteInOneWindow",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 sendRoutes(peerSide, 8);
                                 peerSide.clock->advance(59.9);
                                 sendRoutes(peerSide, 1);
                               },
                               "unexpectedFrame",
                               true},
                      PeerCase{"NewWindowAfterSixtySeconds",
                               {.reminders = true},
                               nullptr,
                               [](SessionTest& peerSide) {
                                 kNotifyHello(peerSide);
                                 sendRoutes(peerSide, 8);
                                 peerSide.clock->advance(60.0);
                                 sendRoutes(peerSide, 8);
                               },
                               "open",
                               true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SessionTest, NotifyFlagOnADataHelloIsRefused) {
  open({.purpose = 2, .reminders = true});
  remoteHello(R"(,"notify_v1":1)");
  EXPECT_EQ(outcomes, std::vector<std::string>{"identityMismatch"});
}

TEST_F(SessionTest, ReminderGrantsAreExchangedBothWays) {
  open({.reminders = true, .remoteIsSession = true, .remoteReminders = true});
  // Nothing issued by either client before the test sets a grant: both offer a null grant.
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_TRUE(session->reminderNegotiated());
  EXPECT_EQ(localReminders->configuredKeys.front(), localIdentity->publicKey());
  ASSERT_EQ(localReminders->issuedFor.size(), 1u);
  EXPECT_EQ(localReminders->issuedFor[0].wireID, kRemoteID);
  ASSERT_EQ(remoteReminders->accepted.size(), 1u);
  EXPECT_EQ(remoteReminders->accepted[0].grant, std::nullopt);
  EXPECT_EQ(remoteReminders->accepted[0].peer.wireID, kLocalID);
  EXPECT_EQ(remoteReminders->accepted[0].peer.contactID, kLocalID);
  EXPECT_EQ(remoteReminders->accepted[0].peer.publicKey, localIdentity->publicKey());
  EXPECT_EQ(remoteAvailability.size(), 1u);
  EXPECT_EQ(availability.size(), 1u);
  EXPECT_TRUE(outcomes.empty());
}

class ReminderExchangeTest : public SessionTest {};

TEST_F(ReminderExchangeTest, GrantIsOfferedOnceEvenWhenOfferedAgain) {
  open({.reminders = true});
  localReminders->grantToIssue = kGrant;
  kNotifyHello(*this);
  ASSERT_EQ(notifyRoutesSent(), 1u);
  const auto& header = remoteFrames.back().frame().header_utf8;
  EXPECT_EQ(header, R"({"grant":{"bearer":"bearer-1","expires":1900000000.0,"route":"route-1"},)"
                    R"("major":2,"type":"NOTIFY_ROUTE"})");
  run([&] { ReminderRouteExchange::offer(session); });
  settle();
  EXPECT_EQ(notifyRoutesSent(), 1u);
}

TEST_F(ReminderExchangeTest, NoGrantFromTheServiceIsOfferedAsNull) {
  open({.reminders = true});
  kNotifyHello(*this);
  ASSERT_EQ(notifyRoutesSent(), 1u);
  EXPECT_EQ(remoteFrames.back().frame().header_utf8,
            R"({"grant":null,"major":2,"type":"NOTIFY_ROUTE"})");
}

TEST_F(ReminderExchangeTest, FailuresOfTheClientEndTheOfferQuietly) {
  open({.reminders = true});
  localReminders->failIssue = true;
  kNotifyHello(*this);
  EXPECT_EQ(notifyRoutesSent(), 0u);
  EXPECT_TRUE(outcomes.empty());
}

TEST_F(ReminderExchangeTest, WithoutRemindersNoRouteIsOffered) {
  open({.reminders = false});
  kNotifyHello(*this);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_FALSE(session->reminderNegotiated());
  EXPECT_EQ(notifyRoutesSent(), 0u);
}

struct AcceptCase {
  const char* name;
  std::optional<ReminderGrant> grant;
  bool taken;
  std::optional<ReminderGrant> reported;
};

class ReminderAcceptance : public ReminderExchangeTest,
                           public ::testing::WithParamInterface<AcceptCase> {};

TEST_P(ReminderAcceptance, OutcomeIsReportedWithTheGrantOnlyWhenTaken) {
  const auto& c = GetParam();
  open({.reminders = true});
  localReminders->takeGrants = c.taken;
  kNotifyHello(*this);
  send(*this, notifyRouteFrame(c.grant));
  ASSERT_EQ(localReminders->accepted.size(), 1u);
  EXPECT_EQ(localReminders->accepted[0].grant, c.grant);
  EXPECT_EQ(localReminders->accepted[0].peer.wireID, kRemoteID);
  EXPECT_EQ(localReminders->accepted[0].peer.contactID, std::string("contact-") + kRemoteID);
  EXPECT_EQ(localReminders->accepted[0].peer.publicKey, remoteIdentity->publicKey());
  ASSERT_EQ(availability.size(), 1u);
  EXPECT_EQ(availability[0].first, kRemoteID);
  EXPECT_EQ(availability[0].second, c.reported);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderAcceptance,
                         ::testing::Values(AcceptCase{"Taken", kGrant, true, kGrant},
                                           AcceptCase{"NotTaken", kGrant, false, std::nullopt},
                                           AcceptCase{"Null", std::nullopt, true, std::nullopt}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderExchangeTest, SessionClosedBeforeTheClientAnswersSendsAndReportsNothing) {
  open({.reminders = true});
  localReminders->hold = true;
  localReminders->grantToIssue = kGrant;
  kNotifyHello(*this);
  send(*this, notifyRouteFrame(kGrant));
  ASSERT_EQ(localReminders->heldIssues.size(), 1u);
  ASSERT_EQ(localReminders->heldAccepts.size(), 1u);
  run([&] { session->close(std::make_exception_ptr(SecureConnectionFailure::closed())); });
  // The client answers from its own thread after the close.
  localReminders->heldIssues.front()(kGrant, nullptr);
  localReminders->heldAccepts.front()(true, nullptr);
  settle();
  EXPECT_EQ(notifyRoutesSent(), 0u);
  EXPECT_TRUE(availability.empty());
}

}  // namespace
}  // namespace velmorine::network
