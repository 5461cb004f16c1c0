#include "native/secure/ve_secure_channel.h"

#include <gtest/gtest.h>

#include <memory>

#include "native/secure/channel/prelude.h"
#include "tests/native/secure/channel/channel_fixtures.h"

namespace velmorine {
namespace {

using velsecure_test::Bytes;
using velsecure_test::SeededRandom;
using Records = std::vector<Bytes>;

std::shared_ptr<VEIdentity> identity(uint8_t seed) {
  Bytes secret(32);
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(seed + i * 3);
  auto made = VEIdentity::withSecret(secret);
  EXPECT_TRUE(made.has_value());
  return *made;
}

Bytes pattern(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

// One end of a connection: its channel, its seeded random source and a clock
// that only moves when the test moves it.
struct End {
  explicit End(uint64_t seed) : random{seed} {}
  SeededRandom random;
  uint64_t now_ms = 1000;
  std::unique_ptr<VESecureChannel> channel;

  VESecureChannel::Environment environment() {
    VESecureChannel::Environment environment;
    environment.platform = random.platform();
    environment.now_ms = [this] { return now_ms; };
    return environment;
  }
  void open(std::shared_ptr<const VEIdentity> id, bool initiator, uint32_t purpose) {
    auto made = VESecureChannel::withIdentity(std::move(id), initiator, purpose, environment());
    ASSERT_TRUE(made.has_value()) << made.error().description;
    channel = std::move(*made);
  }
};

class SecureChannel : public testing::Test {
 protected:
  std::shared_ptr<VEIdentity> initiator_identity_ = identity(1);
  std::shared_ptr<VEIdentity> responder_identity_ = identity(2);
  End initiator_{100};
  End responder_{200};

  void open(uint32_t initiator_purpose = 1, uint32_t responder_purpose = 0) {
    initiator_.open(initiator_identity_, true, initiator_purpose);
    responder_.open(responder_identity_, false, responder_purpose);
  }

  // Hands everything `from` wants to send to `to`, in chunks of at most chunk
  // bytes; returns the records `to` opened.
  static Records deliver(const Bytes& bytes, End& to, size_t chunk) {
    Records records;
    for (size_t offset = 0; offset < bytes.size(); offset += chunk) {
      const size_t length = std::min(chunk, bytes.size() - offset);
      auto opened = to.channel->receive(std::span(bytes).subspan(offset, length));
      EXPECT_TRUE(opened.has_value()) << (opened ? "" : opened.error().description);
      if (!opened) return records;
      records.insert(records.end(), opened->begin(), opened->end());
    }
    return records;
  }

  static Bytes handshake_output(End& end) {
    auto output = end.channel->takeHandshakeOutput();
    EXPECT_TRUE(output.has_value());
    return output.value_or(Bytes{});
  }

  void establish(size_t chunk) {
    for (int round = 0; round < 8; ++round) {
      deliver(handshake_output(initiator_), responder_, chunk);
      deliver(handshake_output(responder_), initiator_, chunk);
      if (initiator_.channel->established() && responder_.channel->established()) return;
    }
    FAIL() << "not established";
  }
};

TEST_F(SecureChannel, EstablishesOverEveryChunkingAndCarriesRecordsBothWays) {
  for (size_t chunk : {1, 2, 7, 16, 17, 50, 99, 65536}) {
    SCOPED_TRACE(chunk);
    open();
    EXPECT_EQ(responder_.channel->purpose(), 0u);
    establish(chunk);
    EXPECT_EQ(responder_.channel->purpose(), 1u);
    EXPECT_EQ(initiator_.channel->remotePublicKey(), responder_identity_->publicKey());
    EXPECT_EQ(responder_.channel->remotePublicKey(), initiator_identity_->publicKey());
    EXPECT_EQ(initiator_.channel->transcriptHash(), responder_.channel->transcriptHash());
    EXPECT_EQ(initiator_.channel->transcriptHash().size(), 32u);

    for (size_t size : {size_t{1}, size_t{61440}, size_t{61441}, size_t{200000}}) {
      const Bytes frame = pattern(size, static_cast<uint8_t>(size));
      auto sealed = initiator_.channel->encrypt(frame);
      ASSERT_TRUE(sealed.has_value());
      Bytes joined;
      for (const Bytes& record : deliver(*sealed, responder_, chunk)) {
        joined.insert(joined.end(), record.begin(), record.end());
      }
      EXPECT_EQ(joined, frame);
      sealed = responder_.channel->encrypt(frame);
      ASSERT_TRUE(sealed.has_value());
      joined.clear();
      for (const Bytes& record : deliver(*sealed, initiator_, chunk)) {
        joined.insert(joined.end(), record.begin(), record.end());
      }
      EXPECT_EQ(joined, frame);
    }
    EXPECT_TRUE(initiator_.channel->finish().has_value());
    EXPECT_TRUE(initiator_.channel->closed());
  }
}

TEST_F(SecureChannel, ResponderWithAKnownPurposeAlsoSendsItsPreludeAtOnce) {
  open(2, 2);
  const Bytes prelude = handshake_output(responder_);
  EXPECT_EQ(prelude.size(), 16u);
  deliver(prelude, initiator_, 64);
  establish(64);
  EXPECT_EQ(responder_.channel->purpose(), 2u);
}

TEST_F(SecureChannel, PurposeZeroResponderWaitsForThePreludeBeforeSpeaking) {
  open(2, 0);
  EXPECT_TRUE(handshake_output(responder_).empty());
  const Bytes prelude = handshake_output(initiator_);
  deliver(Bytes(prelude.begin(), prelude.begin() + 15), responder_, 4);
  EXPECT_EQ(responder_.channel->purpose(), 0u);
  EXPECT_TRUE(handshake_output(responder_).empty());
  deliver(Bytes(prelude.begin() + 15, prelude.end()), responder_, 4);
  EXPECT_EQ(responder_.channel->purpose(), 2u);
  EXPECT_EQ(handshake_output(responder_).size(), 16u);
}

TEST_F(SecureChannel, EncryptCutsFramesIntoRecordsOf61440Bytes) {
  open();
  establish(65536);
  auto sealed = initiator_.channel->encrypt(pattern(122881));
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->size(), 122935u);
  const Records records = deliver(*sealed, responder_, 65536);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].size(), 61440u);
  EXPECT_EQ(records[1].size(), 61440u);
  EXPECT_EQ(records[2].size(), 1u);

  auto largest = initiator_.channel->encrypt(pattern(VESecureChannel::kEncryptMax));
  EXPECT_TRUE(largest.has_value());
}

TEST_F(SecureChannel, LastHandshakeMessageAndRecordsArriveInOneCall) {
  open();
  for (int round = 0; round < 2; ++round) {
    deliver(handshake_output(initiator_), responder_, 65536);
    deliver(handshake_output(responder_), initiator_, 65536);
  }
  ASSERT_TRUE(initiator_.channel->established());
  ASSERT_FALSE(responder_.channel->established());
  Bytes wire = handshake_output(initiator_);  // message 3
  ASSERT_EQ(wire.size(), 66u);
  for (uint8_t i = 0; i < 3; ++i) {
    auto sealed = initiator_.channel->encrypt(pattern(10 + i, i));
    wire.insert(wire.end(), sealed->begin(), sealed->end());
  }
  auto opened = responder_.channel->receive(wire);
  ASSERT_TRUE(opened.has_value());
  ASSERT_EQ(opened->size(), 3u);
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ((*opened)[i], pattern(10 + i, i));
}

void expect_error(const std::unexpected<VEError>& error, uint32_t code, const char* name) {
  EXPECT_EQ(error.error().domain, "org.velmorine.Velmorine.secure");
  EXPECT_EQ(error.error().code, code);
  EXPECT_EQ(error.error().description, name);
}

template <typename T>
void expect_error(const std::expected<T, VEError>& result, uint32_t code, const char* name) {
  ASSERT_FALSE(result.has_value());
  expect_error(std::unexpected(result.error()), code, name);
}

TEST_F(SecureChannel, RefusesBadCreation) {
  struct Case {
    bool initiator;
    uint32_t purpose;
    bool with_identity;
  };
  for (const Case& c : {Case{true, 0, true}, Case{true, 3, true}, Case{false, 3, true},
                        Case{true, 1, false}, Case{false, 1, false}}) {
    auto made = VESecureChannel::withIdentity(c.with_identity ? initiator_identity_ : nullptr,
                                              c.initiator, c.purpose, initiator_.environment());
    expect_error(made, 1, "invalid_argument");
  }
}

TEST_F(SecureChannel, ReceiveRefusesMoreThan65536BytesAndCloses) {
  open();
  auto opened = responder_.channel->receive(Bytes(65537));
  expect_error(opened, 1, "invalid_argument");
  EXPECT_TRUE(responder_.channel->closed());
}

TEST_F(SecureChannel, EveryCallOnAClosedChannelFails) {
  open();
  establish(64);
  initiator_.channel->close();
  EXPECT_FALSE(initiator_.channel->established());
  expect_error(initiator_.channel->receive(Bytes(1)), 1, "invalid_argument");
  expect_error(initiator_.channel->encrypt(Bytes(1)), 1, "invalid_argument");
  expect_error(initiator_.channel->takeHandshakeOutput(), 2, "invalid_state");
  expect_error(initiator_.channel->finish(), 14, "truncated");
  // Encrypting nothing, or before the channel is up, is refused too.
  expect_error(responder_.channel->encrypt(Bytes{}), 1, "invalid_argument");
  End early{300};
  early.open(initiator_identity_, true, 1);
  expect_error(early.channel->encrypt(Bytes(1)), 1, "invalid_argument");
}

// Pieces are gathered across record boundaries exactly as if they had been joined first.
TEST_F(SecureChannel, EncryptGathersPiecesAcrossRecordBoundaries) {
  open();
  establish(65536);
  const Bytes whole = pattern(2 * 61440 + 100, 9);
  const std::span<const uint8_t> all(whole);
  // Empty pieces, a piece ending on a record boundary, and one spanning the next boundary.
  const std::span<const uint8_t> pieces[] = {all.subspan(0, 8),      all.subspan(8, 0),
                                             all.subspan(8, 61432),  all.subspan(61440, 70000),
                                             all.subspan(131440, 0), all.subspan(131440)};
  auto sealed = initiator_.channel->encrypt(pieces);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->size(), whole.size() + 3 * 18);
  Bytes opened;
  for (const Bytes& record : deliver(*sealed, responder_, 65536)) {
    EXPECT_LE(record.size(), 61440u);
    opened.insert(opened.end(), record.begin(), record.end());
  }
  EXPECT_EQ(opened, whole);

  const std::span<const uint8_t> nothing[] = {all.subspan(0, 0), all.subspan(5, 0)};
  expect_error(initiator_.channel->encrypt(nothing), 1, "invalid_argument");
}

TEST_F(SecureChannel, FinishReportsTruncation) {
  struct Case {
    const char* name;
    bool establish;
    size_t record_bytes;  // bytes of one 100-byte record delivered before finish
    uint32_t code;
  };
  for (const Case& c :
       {Case{"before established", false, 0, 14}, Case{"clean", true, 0, 0},
        Case{"half a length field", true, 1, 14}, Case{"inside the body", true, 60, 14},
        Case{"whole record", true, 118, 0}}) {
    SCOPED_TRACE(c.name);
    open();
    if (c.establish) establish(64);
    if (c.record_bytes != 0) {
      auto sealed = initiator_.channel->encrypt(pattern(100));
      deliver(Bytes(sealed->begin(), sealed->begin() + c.record_bytes), responder_, 64);
    }
    auto finished = responder_.channel->finish();
    if (c.code == 0) {
      EXPECT_TRUE(finished.has_value());
    } else {
      expect_error(finished, c.code, "truncated");
    }
    EXPECT_TRUE(responder_.channel->closed());
  }
}

TEST_F(SecureChannel, HandshakeDeadlineOnTheInjectedClock) {
  open();
  deliver(handshake_output(initiator_), responder_, 64);
  responder_.now_ms += 9999;
  EXPECT_TRUE(responder_.channel->takeHandshakeOutput().has_value());
  responder_.now_ms += 1;
  expect_error(responder_.channel->takeHandshakeOutput(), 13, "timed_out");
  EXPECT_TRUE(responder_.channel->closed());

  // Once established, time no longer matters.
  open();
  establish(64);
  initiator_.now_ms += 60000;
  responder_.now_ms += 60000;
  auto sealed = initiator_.channel->encrypt(pattern(5));
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(deliver(*sealed, responder_, 64).size(), 1u);
}

TEST_F(SecureChannel, PurposeByteOutsideOneAndTwoIsAnInvalidArgument) {
  for (uint8_t purpose : {0, 3, 0xFF}) {
    open();
    Bytes prelude = handshake_output(initiator_);
    prelude[12] = purpose;
    expect_error(responder_.channel->receive(prelude), 1, "invalid_argument");
    EXPECT_EQ(responder_.channel->purpose(), 0u);
  }
}

// Flips one bit at every offset of the initiator's side of a whole exchange:
// its prelude, messages 1 and 3, and two records. The side that notices fails
// with the status of the field, and the responder hands out no record from the
// tampered point on.
TEST_F(SecureChannel, FlippedBitAnywhereInTheStreamFailsWithTheFieldsStatus) {
  // The untampered transcript, to know where each field lies.
  open(1, 1);
  const Bytes prelude = handshake_output(initiator_);
  deliver(prelude, responder_, 65536);
  const Bytes responder_bytes = handshake_output(responder_);
  deliver(responder_bytes, initiator_, 65536);
  const Bytes message1 = handshake_output(initiator_);
  ASSERT_EQ(message1.size(), 34u);
  deliver(message1, responder_, 65536);
  deliver(handshake_output(responder_), initiator_, 65536);
  const Bytes message3 = handshake_output(initiator_);
  ASSERT_EQ(message3.size(), 66u);
  Bytes stream = prelude;
  stream.insert(stream.end(), message1.begin(), message1.end());
  stream.insert(stream.end(), message3.begin(), message3.end());
  const size_t records_start = stream.size();
  for (uint8_t i = 0; i < 2; ++i) {
    auto sealed = initiator_.channel->encrypt(pattern(40, i));
    stream.insert(stream.end(), sealed->begin(), sealed->end());
  }

  struct Region {
    size_t begin, end;
    uint32_t code;
  };
  const Region regions[] = {
      {0, 16, 10},                            // prelude: protocol_error
      {16, 18, 0},                            // message 1 length field: see below
      {18, 50, 7},                            // message 1: the initiator fails on message 2
      {50, 52, 0},                            // message 3 length field
      {52, 116, 7},                           // message 3
      {records_start, records_start + 2, 0},  // record length field
      {records_start + 2, stream.size(), 7},  // record bodies and tags
  };
  for (const Region& region : regions) {
    // Every byte of the preludes and handshake messages, every third byte of
    // the records; the flipped bit moves through the byte's eight positions.
    const size_t step = region.begin >= records_start + 2 ? 3 : 1;
    for (size_t offset = region.begin; offset < region.end; offset += step) {
      {
        const auto bit = static_cast<uint8_t>(1u << (offset % 8));
        SCOPED_TRACE(testing::Message() << "offset " << offset << " bit " << int(bit));
        Bytes tampered = stream;
        tampered[offset] ^= bit;
        open(1, 1);
        initiator_.channel->takeHandshakeOutput();
        // The responder gets the tampered stream in the order the initiator
        // sends it; the initiator gets the responder's bytes as they come.
        size_t fed = 0;
        Records released;
        std::optional<VEError> failure;
        const auto feed_responder = [&](size_t until) {
          while (!failure && fed < until) {
            const size_t length = std::min<size_t>(7, until - fed);
            auto opened = responder_.channel->receive(std::span(tampered).subspan(fed, length));
            fed += length;
            if (!opened) {
              failure = opened.error();
            } else {
              released.insert(released.end(), opened->begin(), opened->end());
            }
          }
        };
        const auto feed_initiator = [&] {
          auto out = responder_.channel->takeHandshakeOutput();
          if (!out) return;
          auto opened = initiator_.channel->receive(*out);
          if (!opened) failure = opened.error();
        };
        feed_responder(16);
        feed_initiator();
        feed_responder(50);
        feed_initiator();
        feed_responder(stream.size());
        if (!failure) {
          // A length field that became longer leaves the responder waiting:
          // its deadline or the end of the stream settles it.
          auto finished = responder_.channel->finish();
          if (!finished) failure = finished.error();
        }
        ASSERT_TRUE(failure.has_value());
        if (region.code != 0) {
          EXPECT_EQ(failure->code, region.code) << failure->description;
        } else {
          EXPECT_TRUE(failure->code == 8 || failure->code == 10 || failure->code == 7 ||
                      failure->code == 14)
              << failure->description;
        }
        if (offset >= records_start + 2 + 56) {
          EXPECT_LE(released.size(), 1u);  // only the record before the tampered one
        } else {
          EXPECT_TRUE(released.empty());
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmorine
