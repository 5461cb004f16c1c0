#include "Velmorine/network/secure_connection.h"

#include <gtest/gtest.h>

#include <numeric>

#include "Velmorine/network/bridge_error.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/Velmorine/network/fake_stream.h"

namespace velmorine::network {
namespace {

using testing::FakeStream;
using testing::FakeStreamState;
using testing::pump;
using Failure = SecureConnectionFailure::Case;

constexpr size_t kLimit = SecureConnection::kOutputLimit;
constexpr size_t kCapacity = NetworkOutputBudget::kCapacity;

// A plaintext length whose send estimate is exactly `estimate`, when one exists.
std::optional<size_t> plaintextFor(size_t estimate) {
  for (size_t records = 1; records * SecureConnection::kRecordOverhead < estimate; ++records) {
    const size_t n = estimate - records * SecureConnection::kRecordOverhead;
    if (SecureConnection::sendEstimate(n) == estimate) return n;
  }
  return std::nullopt;
}

class SecureConnectionTest : public ::testing::Test {
 protected:
  SecureConnectionTest() {
    run([&] {
      connection = make(ours, true, 1, budget);
      peer = make(theirs, false, 0, nullptr);
      connection->onEstablished = [&](std::vector<uint8_t> key, std::vector<uint8_t> hash) {
        remoteKeys.push_back(std::move(key));
        transcripts.push_back(std::move(hash));
      };
      connection->onFailure = [&](const SecureConnectionFailure& failure) {
        failures.push_back(failure.kind());
        lastFailure = failure;
      };
      connection->onWritable = [&] { ++writable; };
      peer->onPlaintext = [&](std::vector<uint8_t> bytes) { received.push_back(std::move(bytes)); };
      peer->onEstablished = [&](std::vector<uint8_t>, std::vector<uint8_t> hash) {
        peerTranscript = std::move(hash);
      };
    });
    budget->setOnAvailable([&] { ++available; });
  }
  ~SecureConnectionTest() override {
    run([&] {
      connection.reset();
      peer.reset();
    });
  }

  std::shared_ptr<SecureConnection> make(const std::shared_ptr<FakeStreamState>& state,
                                         bool initiator, uint32_t purpose,
                                         std::shared_ptr<NetworkOutputBudget> outputBudget) {
    auto channel = VESecureChannel::withIdentity(initiator ? localIdentity : remoteIdentity,
                                                 initiator, purpose);
    return SecureConnection::over(std::make_unique<FakeStream>(state), std::move(*channel), queue,
                                  std::move(outputBudget));
  }

  void run(const std::function<void()>& work) { queue.sync(work); }
  void flush() {
    run([] {});
  }

  void establish() {
    run([&] {
      connection->start();
      peer->start();
      pump(*ours, theirs.get());
    });
    ASSERT_TRUE(connection->established());
  }

  bool send(size_t length) {
    bool accepted = false;
    run([&] { accepted = connection->send(std::vector<uint8_t>(length, 0x5a)); });
    return accepted;
  }

  // Queues exactly `bytes` of records on the connection, none of them written.
  void fillQueue(size_t bytes) {
    ours->holdWrites = true;
    size_t left = bytes;
    while (left > 0) {
      size_t piece =
          std::min(left, SecureConnection::sendEstimate(SecureConnection::kPlaintextLimit));
      // Leave a remainder that one send can still make exactly.
      if (left - piece > 0 && left - piece < 19) piece -= 19;
      const auto n = plaintextFor(piece);
      ASSERT_TRUE(n) << piece;
      ASSERT_TRUE(send(*n));
      left -= piece;
    }
    ASSERT_EQ(connection->queuedBytes(), bytes);
  }

  void completeOneWrite() {
    run([&] {
      ASSERT_FALSE(ours->sends.empty());
      auto sent = std::move(ours->sends.front());
      ours->sends.pop_front();
      sent.completion({});
    });
  }

  std::shared_ptr<platform::ManualUptimeClock> clock =
      std::make_shared<platform::ManualUptimeClock>();
  platform::SerialQueue queue{"test.connection", clock};
  std::shared_ptr<NetworkOutputBudget> budget = std::make_shared<NetworkOutputBudget>();
  std::shared_ptr<const VEIdentity> localIdentity = *VEIdentity::generate();
  std::shared_ptr<const VEIdentity> remoteIdentity = *VEIdentity::generate();
  std::shared_ptr<FakeStreamState> ours = std::make_shared<FakeStreamState>();
  std::shared_ptr<FakeStreamState> theirs = std::make_shared<FakeStreamState>();
  std::shared_ptr<SecureConnection> connection;
  std::shared_ptr<SecureConnection> peer;

  std::vector<std::vector<uint8_t>> remoteKeys;
  std::vector<std::vector<uint8_t>> transcripts;
  std::vector<uint8_t> peerTranscript;
  std::vector<Failure> failures;
  std::optional<SecureConnectionFailure> lastFailure;
  std::vector<std::vector<uint8_t>> received;
  int writable = 0;
  int available = 0;
};

TEST_F(SecureConnectionTest, HandshakeEstablishesOnceAndRecordsReachThePeer) {
  establish();
  ASSERT_EQ(remoteKeys.size(), 1u);
  EXPECT_EQ(remoteKeys[0], remoteIdentity->publicKey());
  EXPECT_EQ(transcripts[0], peerTranscript);
  EXPECT_EQ(transcripts[0].size(), 32u);

  const std::vector<uint8_t> message{'h', 'i'};
  run([&] {
    EXPECT_TRUE(connection->send(message));
    pump(*ours, theirs.get());
  });
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], message);
  EXPECT_EQ(budget->used(), 0u);
  EXPECT_EQ(connection->queuedBytes(), 0u);

  // The handshake deadline is gone once established.
  clock->advance(30);
  flush();
  EXPECT_TRUE(failures.empty());
}

TEST_F(SecureConnectionTest, HandshakeBytesAreWrittenBeforeEstablishmentButSendsAreRefused) {
  run([&] {
    connection->start();
    pump(*ours);  // no peer: what it writes is kept aside
  });
  EXPECT_FALSE(ours->written.empty());
  EXPECT_FALSE(connection->established());
  EXPECT_FALSE(send(10));
  EXPECT_TRUE(failures.empty());
}

// A connection that never gets past the handshake holds only a small receive buffer; once
// established it reads in full-sized chunks.
TEST_F(SecureConnectionTest, ReadsInHandshakeSizedPiecesUntilEstablished) {
  run([&] {
    connection->start();
    peer->start();
    testing::stepStream(*ours, theirs.get());
  });
  ASSERT_TRUE(ours->receive.has_value());
  EXPECT_EQ(ours->receive->first, SecureConnection::kHandshakeReceiveLimit);
  EXPECT_LE(SecureConnection::kHandshakeReceiveLimit, 4096u);

  run([&] { pump(*ours, theirs.get()); });
  ASSERT_TRUE(connection->established());
  ASSERT_TRUE(ours->receive.has_value());
  EXPECT_EQ(ours->receive->first, SecureConnection::kReceiveLimit);
  ASSERT_TRUE(theirs->receive.has_value());
  EXPECT_EQ(theirs->receive->first, SecureConnection::kReceiveLimit);
}

TEST(SecureConnectionEstimate, AddsOneRecordOverheadPerStartedRecord) {
  const std::pair<size_t, size_t> cases[] = {
      {1, 19}, {61440, 61458}, {61441, 61477}, {122880, 122916}, {1114120, 1114462},
  };
  for (const auto& [plaintext, estimate] : cases) {
    EXPECT_EQ(SecureConnection::sendEstimate(plaintext), estimate) << plaintext;
  }
}

struct QueueLimitCase {
  const char* name;
  size_t queuedBefore;
  size_t plaintext;
  bool accepted;
};

class SecureConnectionQueueLimit : public SecureConnectionTest,
                                   public ::testing::WithParamInterface<QueueLimitCase> {};

TEST_P(SecureConnectionQueueLimit, RefusalChangesNothingAndLeavesTheConnectionOpen) {
  const auto& c = GetParam();
  establish();
  fillQueue(c.queuedBefore);
  const size_t usedBefore = budget->used();
  EXPECT_EQ(send(c.plaintext), c.accepted);
  const size_t added = c.accepted ? SecureConnection::sendEstimate(c.plaintext) : 0;
  EXPECT_EQ(connection->queuedBytes(), c.queuedBefore + added);
  EXPECT_EQ(budget->used(), usedBefore + added);
  EXPECT_FALSE(connection->closed());
  EXPECT_TRUE(failures.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecureConnectionQueueLimit,
    ::testing::Values(QueueLimitCase{"LastRecordFits", kLimit - 61458, 61440, true},
                      QueueLimitCase{"OneByteTooMany", kLimit - 61458 + 1, 61440, false},
                      QueueLimitCase{"LargestFrameOnEmptyQueue", 0, 1114120, true},
                      QueueLimitCase{"LongerThanOneFrame", 0, 1114121, false},
                      QueueLimitCase{"Empty", 0, 0, false},
                      QueueLimitCase{"FullQueue", kLimit - 19, 1, true},
                      QueueLimitCase{"FullQueuePlusOne", kLimit - 18, 1, false}),
    [](const auto& test) { return std::string(test.param.name); });

struct BudgetCase {
  const char* name;
  size_t room;  // what other connections leave of the shared budget
  size_t plaintext;
  bool accepted;
};

class SecureConnectionBudget : public SecureConnectionTest,
                               public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(SecureConnectionBudget, SendNeedsRoomForItsEstimate) {
  const auto& c = GetParam();
  establish();
  ours->holdWrites = true;
  ASSERT_TRUE(budget->reserve(kCapacity - c.room));
  EXPECT_EQ(send(c.plaintext), c.accepted);
  EXPECT_FALSE(connection->closed());
  EXPECT_EQ(budget->used(),
            kCapacity - c.room + (c.accepted ? SecureConnection::sendEstimate(c.plaintext) : 0));
}

INSTANTIATE_TEST_SUITE_P(Cases, SecureConnectionBudget,
                         ::testing::Values(BudgetCase{"ExactRoom", 61458, 61440, true},
                                           BudgetCase{"OneByteShort", 61457, 61440, false},
                                           BudgetCase{"NoRoom", 0, 1, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(SecureConnectionTest, SendSucceedsOnceAnotherConnectionGivesBytesBack) {
  establish();
  ASSERT_TRUE(budget->reserve(kCapacity));
  EXPECT_FALSE(send(100));
  const int before = available;
  budget->giveBack(SecureConnection::sendEstimate(100));
  EXPECT_EQ(available, before + 1);
  EXPECT_TRUE(send(100));
}

TEST_F(SecureConnectionTest, HandshakeOutputThatDoesNotFitTheBudgetEndsTheConnection) {
  ASSERT_TRUE(budget->reserve(kCapacity));
  run([&] {
    connection->start();
    pump(*ours);
  });
  ASSERT_EQ(failures, std::vector<Failure>{Failure::crypto});
  try {
    std::rethrow_exception(lastFailure->cryptoError());
  } catch (const SecureConnectionFailure& inner) {
    EXPECT_EQ(inner.kind(), Failure::capacity);
  }
}

TEST_F(SecureConnectionTest, BudgetFollowsTheQueueAndCloseGivesEverythingBackOnce) {
  establish();
  ASSERT_TRUE(budget->reserve(1000));  // another connection's share
  ours->holdWrites = true;
  const int writableBefore = writable;
  ASSERT_TRUE(send(5000));
  ASSERT_TRUE(send(7000));
  EXPECT_EQ(budget->used(), 1000 + connection->queuedBytes());
  completeOneWrite();
  EXPECT_EQ(connection->queuedBytes(), SecureConnection::sendEstimate(7000));
  EXPECT_EQ(budget->used(), 1000 + connection->queuedBytes());
  EXPECT_EQ(writable, writableBefore + 1);

  // The write in flight completes only after the close.
  StreamConnection::SendCompletion late;
  run([&] { late = ours->sends.front().completion; });
  const int before = available;
  run([&] {
    connection->close(SecureConnectionFailure::closed());
    connection->close(SecureConnectionFailure::timeout());
  });
  EXPECT_EQ(failures, std::vector<Failure>{Failure::closed});
  EXPECT_EQ(budget->used(), 1000u);
  EXPECT_EQ(available, before + 1);
  run([&] { late({}); });
  EXPECT_EQ(budget->used(), 1000u);
  EXPECT_EQ(writable, writableBefore + 1);
  EXPECT_FALSE(send(10));
  EXPECT_TRUE(ours->cancelled);
}

TEST_F(SecureConnectionTest, ReleaseGivesQueuedBytesBack) {
  establish();
  ours->holdWrites = true;
  ASSERT_TRUE(send(3000));
  ASSERT_GT(budget->used(), 0u);
  run([&] { connection.reset(); });
  EXPECT_EQ(budget->used(), 0u);
}

TEST_F(SecureConnectionTest, SpentChunksAreDroppedAfter128Writes) {
  establish();
  ours->holdWrites = true;
  for (int i = 0; i < 130; ++i) ASSERT_TRUE(send(10));
  for (int i = 0; i < 127; ++i) completeOneWrite();
  EXPECT_EQ(connection->outputHead(), 127u);
  EXPECT_EQ(connection->outputChunks(), 130u);
  completeOneWrite();
  EXPECT_EQ(connection->outputHead(), 0u);
  EXPECT_EQ(connection->outputChunks(), 2u);
  EXPECT_EQ(connection->queuedBytes(), 2 * SecureConnection::sendEstimate(10));
  completeOneWrite();
  completeOneWrite();
  EXPECT_EQ(connection->outputChunks(), 0u);
  EXPECT_EQ(budget->used(), 0u);
}

enum class Ending { cleanAfterRecord, insideRecord, beforeEstablishment, receiveError };

struct EndingCase {
  const char* name;
  Ending ending;
  Failure expected;
};

class SecureConnectionEnding : public SecureConnectionTest,
                               public ::testing::WithParamInterface<EndingCase> {};

TEST_P(SecureConnectionEnding, ReportsHowTheStreamEnded) {
  const auto& c = GetParam();
  if (c.ending == Ending::beforeEstablishment) {
    run([&] {
      connection->start();
      pump(*ours);
      ours->endPending = true;
      pump(*ours);
    });
  } else {
    establish();
    theirs->holdWrites = true;
    run([&] {
      ASSERT_TRUE(peer->send(std::vector<uint8_t>(100, 1)));
      auto record = theirs->sends.front().bytes;
      if (c.ending == Ending::insideRecord) record.resize(record.size() / 2);
      ours->inbox = record;
      if (c.ending == Ending::receiveError) {
        ours->inbox.clear();
        ours->errorPending = std::make_error_code(std::errc::connection_reset);
      } else {
        ours->endPending = true;
      }
      pump(*ours);
    });
  }
  EXPECT_EQ(failures, std::vector<Failure>{c.expected});
  if (c.expected == Failure::network) {
    EXPECT_EQ(lastFailure->networkError(), std::make_error_code(std::errc::connection_reset));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecureConnectionEnding,
    ::testing::Values(EndingCase{"CleanBetweenRecords", Ending::cleanAfterRecord, Failure::closed},
                      EndingCase{"InsideARecord", Ending::insideRecord, Failure::truncated},
                      EndingCase{"BeforeEstablishment", Ending::beforeEstablishment,
                                 Failure::truncated},
                      EndingCase{"ReceiveError", Ending::receiveError, Failure::network}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SecureConnectionTest, PlatformStatesEndTheConnection) {
  run([&] {
    connection->start();
    ours->stateHandler(platform::ConnectionState::failed,
                       std::make_error_code(std::errc::connection_refused));
  });
  EXPECT_EQ(failures, std::vector<Failure>{Failure::network});
  EXPECT_EQ(lastFailure->networkError(), std::make_error_code(std::errc::connection_refused));

  run([&] {
    peer->onFailure = [&](const SecureConnectionFailure& failure) {
      failures.push_back(failure.kind());
    };
    peer->start();
    theirs->stateHandler(platform::ConnectionState::cancelled, {});
  });
  EXPECT_EQ(failures, (std::vector<Failure>{Failure::network, Failure::closed}));
}

TEST_F(SecureConnectionTest, GarbageFromThePeerIsACryptoFailure) {
  establish();
  run([&] {
    ours->inbox.assign(200, 0xee);
    ours->inbox[0] = 0;
    ours->inbox[1] = 150;
    pump(*ours);
  });
  ASSERT_EQ(failures, std::vector<Failure>{Failure::crypto});
  EXPECT_THROW(std::rethrow_exception(lastFailure->cryptoError()), BridgeError);
}

struct DeadlineCase {
  const char* name;
  bool becomesReady;
};

class SecureConnectionDeadline : public SecureConnectionTest,
                                 public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(SecureConnectionDeadline, HandshakeNotDoneTenSecondsAfterStartIsATimeout) {
  run([&] {
    connection->start();
    if (GetParam().becomesReady) pump(*ours);  // ready, the peer never answers
  });
  clock->advance(9.999);
  flush();
  EXPECT_TRUE(failures.empty());
  clock->advance(0.001);
  flush();
  EXPECT_EQ(failures, std::vector<Failure>{Failure::timeout});
  EXPECT_TRUE(ours->cancelled);
}

INSTANTIATE_TEST_SUITE_P(Cases, SecureConnectionDeadline,
                         ::testing::Values(DeadlineCase{"StaysWaiting", false},
                                           DeadlineCase{"PeerSilent", true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(SecureConnectionTest, PausedReadingAsksForNothingUntilResumed) {
  run([&] { connection->resumeReading(); });  // before start: nothing
  EXPECT_EQ(ours->receiveRequests, 0u);
  establish();
  run([&] {
    connection->pauseReading();
    ASSERT_TRUE(peer->send(std::vector<uint8_t>(10, 2)));
    pump(*ours, theirs.get());
  });
  EXPECT_FALSE(ours->receive.has_value());
  const size_t requests = ours->receiveRequests;
  run([&] { connection->resumeReading(); });
  EXPECT_TRUE(ours->receive.has_value());
  EXPECT_EQ(ours->receiveRequests, requests + 1);
  run([&] { connection->resumeReading(); });  // one request outstanding at most
  EXPECT_EQ(ours->receiveRequests, requests + 1);
}

TEST_F(SecureConnectionTest, DialRefusesPortZeroAndUnusablePins) {
  const auto failureOf = [&](uint16_t port, const SecureConnection* pinTo) {
    std::optional<SecureConnectionFailure> caught;
    run([&] {
      try {
        SecureConnection::dial("127.0.0.1", port, localIdentity, 2, queue, budget, pinTo);
      } catch (const SecureConnectionFailure& failure) {
        caught = failure;
      }
    });
    return caught;
  };
  EXPECT_EQ(failureOf(0, nullptr)->kind(), Failure::closed);

  // No local route on the connection to pin to.
  auto unpinned = failureOf(4000, connection.get());
  ASSERT_TRUE(unpinned);
  EXPECT_EQ(unpinned->kind(), Failure::network);
  EXPECT_EQ(unpinned->networkError(), std::make_error_code(std::errc::network_unreachable));

  ours->pin = platform::PinnedRoute{0x0100007f, "lo", 1};
  EXPECT_FALSE(failureOf(4000, connection.get()));

  run([&] { connection->close(SecureConnectionFailure::closed()); });
  auto closed = failureOf(4000, connection.get());
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->networkError(), std::make_error_code(std::errc::network_unreachable));
}

TEST_F(SecureConnectionTest, IsOnInterfacesComparesTheLocalIPv4Address) {
  const auto at = [](const char* host) {
    return platform::Endpoint{asio::ip::make_address(host), 5000};
  };
  const std::vector<DiscoveryInterface> interfaces{
      {"veth0", 4, *platform::parse_ipv4("10.213.1.1"), std::nullopt},
      {"veth1", 5, *platform::parse_ipv4("10.213.2.1"), std::nullopt},
  };
  const std::pair<std::optional<platform::Endpoint>, bool> cases[] = {
      {at("10.213.2.1"), true}, {at("10.213.1.1"), true}, {at("10.213.3.1"), false},
      {at("::1"), false},       {std::nullopt, false},
  };
  for (const auto& [local, expected] : cases) {
    ours->local = local;
    EXPECT_EQ(connection->isOnInterfaces(interfaces), expected)
        << (local ? local->host_text() : "none");
  }
  ours->local = at("10.213.1.1");
  run([&] { connection->close(SecureConnectionFailure::closed()); });
  EXPECT_FALSE(connection->isOnInterfaces(interfaces));
}

}  // namespace
}  // namespace velmorine::network
