#include "native/protocol/chat_ledger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace velmorine::protocol;
using velmorine::core::Uuid;
using namespace std::chrono_literals;

Uuid numbered(uint32_t prefix, uint64_t n) {
  Uuid::Bytes bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(prefix >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
  bytes[6] = 0x40;
  bytes[8] |= 0x80;
  return Uuid(bytes);
}

const Uuid kLocal = numbered(0x10c41, 1);
const Uuid kPeer = numbered(0xbee7, 2);
const Uuid kOtherPeer = numbered(0xbee7, 3);

// A ledger with a hand-moved clock and predictable acknowledgement ids.
class ChatLedgerTest : public testing::Test {
 protected:
  ChatHandler handler_{kLocal, [this] { return numbered(0xacc, ++ids_made_); },
                       [this] { return now_; }, 1000, 3};
  std::chrono::steady_clock::time_point now_{100s};
  uint64_t ids_made_ = 0;

  static ChatHeader outgoing(uint64_t frame, uint64_t message) {
    return {2,
            0,
            numbered(0xf0, frame),
            kLocal,
            numbered(0x3e55, message),
            UtcMicroseconds{1700000000000000us},
            "hello"};
  }
  static Frame incoming(uint64_t frame, uint64_t message, const Uuid& sender = kPeer) {
    return *serialize_chat({2, 0, numbered(0xf1, frame), sender, numbered(0x3e56, message),
                            UtcMicroseconds{1700000000000000us}, "hi"});
  }
  static Frame ack(uint64_t frame, uint64_t message, const Uuid& sender = kPeer) {
    return *serialize_chat_ack(
        {2, 0, numbered(0xa1, frame), sender, numbered(0xf0, frame), numbered(0x3e55, message)});
  }
};

TEST_F(ChatLedgerTest, RefusesOutgoingChatsThatCannotBeTracked) {
  EXPECT_FALSE(handler_.begin_outgoing(Uuid(), outgoing(1, 1)));
  EXPECT_FALSE(handler_.begin_outgoing(kLocal, outgoing(1, 1)));
  ChatHeader foreign = outgoing(1, 1);
  foreign.sender = kPeer;
  EXPECT_FALSE(handler_.begin_outgoing(kOtherPeer, foreign));
  ChatHeader blank = outgoing(1, 1);
  blank.text = " ";
  EXPECT_FALSE(handler_.begin_outgoing(kPeer, blank));
  EXPECT_EQ(handler_.pending_count(), 0u);
}

TEST_F(ChatLedgerTest, OneMessageIsInFlightUnderOneFrameAtATime) {
  ASSERT_TRUE(handler_.begin_outgoing(kPeer, outgoing(1, 7)));
  EXPECT_FALSE(handler_.begin_outgoing(kPeer, outgoing(2, 7)));  // same message, new frame
  EXPECT_FALSE(handler_.begin_outgoing(kPeer, outgoing(1, 8)));  // same frame, new message
  EXPECT_TRUE(handler_.begin_outgoing(kOtherPeer, outgoing(2, 7)));

  const auto cancelled = handler_.cancel_outgoing(kPeer, numbered(0x3e55, 7));
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->frame_id, numbered(0xf0, 1));
  EXPECT_TRUE(handler_.begin_outgoing(kPeer, outgoing(2, 7)));

  now_ += 1000ms;
  EXPECT_EQ(handler_.expire().size(), 2u);
  EXPECT_TRUE(handler_.begin_outgoing(kPeer, outgoing(3, 7)));
}

TEST_F(ChatLedgerTest, AcknowledgementsSettleOnlyTheirOwnMessage) {
  ASSERT_TRUE(handler_.begin_outgoing(kPeer, outgoing(1, 7)));

  ChatHandleResult wrong = handler_.handle_frame(kPeer, ack(1, 8));
  EXPECT_EQ(wrong.status, ChatHandleStatus::message_mismatch);
  EXPECT_EQ(handler_.pending_count(), 1u);

  ChatHandleResult from_other = handler_.handle_frame(kOtherPeer, ack(1, 7));
  EXPECT_EQ(from_other.status, ChatHandleStatus::unparsed);  // sender member names kPeer
  EXPECT_EQ(from_other.parse_error, ParseError::unexpected_sender);

  ChatHandleResult right = handler_.handle_frame(kPeer, ack(1, 7));
  EXPECT_EQ(right.status, ChatHandleStatus::handled);
  EXPECT_EQ(right.acknowledged, numbered(0x3e55, 7));
  EXPECT_FALSE(right.reply);
  EXPECT_EQ(handler_.pending_count(), 0u);

  ChatHandleResult again = handler_.handle_frame(kPeer, ack(1, 7));
  EXPECT_EQ(again.status, ChatHandleStatus::handled);
  EXPECT_FALSE(again.acknowledged);
}

TEST_F(ChatLedgerTest, AnswersEveryChatAndReportsRepeatsAsDuplicates) {
  const Frame chat = incoming(1, 5);
  ChatHandleResult first = handler_.handle_frame(kPeer, chat);
  ChatHandleResult second = handler_.handle_frame(kPeer, chat);
  ASSERT_EQ(first.status, ChatHandleStatus::handled);
  ASSERT_EQ(second.status, ChatHandleStatus::handled);
  EXPECT_FALSE(first.duplicate);
  ASSERT_TRUE(first.incoming);
  EXPECT_EQ(first.incoming->text, "hi");
  EXPECT_TRUE(second.duplicate);
  EXPECT_FALSE(second.incoming);

  ASSERT_TRUE(first.reply && second.reply);
  const auto first_ack = parse_chat_ack(*first.reply, kLocal);
  const auto second_ack = parse_chat_ack(*second.reply, kLocal);
  ASSERT_TRUE(first_ack && second_ack);
  EXPECT_NE(first_ack->id, second_ack->id);
  EXPECT_EQ(first_ack->correlation_id, numbered(0xf1, 1));
  EXPECT_EQ(second_ack->correlation_id, numbered(0xf1, 1));
  EXPECT_EQ(first_ack->message_id, numbered(0x3e56, 5));

  // The same message id from another peer is another message.
  EXPECT_FALSE(handler_.handle_frame(kOtherPeer, incoming(1, 5, kOtherPeer)).duplicate);
}

TEST_F(ChatLedgerTest, TheDuplicateWindowIsBoundedAndRefreshedBySightings) {
  // Capacity 3 in this fixture.
  for (uint64_t m : {1, 2, 3}) EXPECT_FALSE(handler_.handle_frame(kPeer, incoming(m, m)).duplicate);
  EXPECT_TRUE(handler_.handle_frame(kPeer, incoming(9, 1)).duplicate);   // 1 is now newest
  EXPECT_FALSE(handler_.handle_frame(kPeer, incoming(4, 4)).duplicate);  // drops 2
  EXPECT_EQ(handler_.deduplication_size(), 3u);
  EXPECT_TRUE(handler_.handle_frame(kPeer, incoming(9, 1)).duplicate);
  EXPECT_FALSE(handler_.handle_frame(kPeer, incoming(2, 2)).duplicate);
}

TEST_F(ChatLedgerTest, RefusesFramesFromTheWrongPeerOrOfAnotherKind) {
  const struct {
    Uuid peer;
    Frame frame;
    int32_t status;
    int32_t parse_error;
  } cases[] = {
      {Uuid(), incoming(1, 1), ChatHandleStatus::unparsed, ParseError::unexpected_sender},
      {kLocal, incoming(1, 1, kLocal), ChatHandleStatus::unparsed, ParseError::unexpected_sender},
      {kOtherPeer, incoming(1, 1), ChatHandleStatus::unparsed, ParseError::unexpected_sender},
      {kPeer, Frame{FrameKind::ping, R"({"type":"PING"})", {}}, ChatHandleStatus::not_chat, 0},
      {kPeer, Frame{FrameKind::chat, R"({"type":"CHAT"})", {}}, ChatHandleStatus::unparsed,
       ParseError::missing_member},
  };
  for (const auto& c : cases) {
    const ChatHandleResult result = handler_.handle_frame(c.peer, c.frame);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.parse_error, c.parse_error);
    EXPECT_FALSE(result.reply);
  }
  EXPECT_EQ(handler_.deduplication_size(), 0u);
}

TEST_F(ChatLedgerTest, ExpiresAtTheDeadlineOnTheOwnersClock) {
  ChatHandler quick{kLocal, [] { return numbered(0xacc, 1); }, [this] { return now_; }, 0, 0};
  ASSERT_TRUE(quick.begin_outgoing(kPeer, outgoing(1, 1)));  // timeout 0 became 1 ms
  EXPECT_TRUE(quick.expire().empty());
  now_ += 1ms;
  const auto expired = quick.expire();
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].peer, kPeer);
  EXPECT_EQ(expired[0].message_id, numbered(0x3e55, 1));
  EXPECT_EQ(quick.pending_count(), 0u);
}

TEST_F(ChatLedgerTest, CancellingAPeerLeavesOthersAndTheDuplicateWindowAlone) {
  ASSERT_TRUE(handler_.begin_outgoing(kPeer, outgoing(1, 1)));
  ASSERT_TRUE(handler_.begin_outgoing(kPeer, outgoing(2, 2)));
  ASSERT_TRUE(handler_.begin_outgoing(kOtherPeer, outgoing(3, 3)));
  handler_.handle_frame(kPeer, incoming(1, 1));
  EXPECT_EQ(handler_.cancel_peer(kPeer).size(), 2u);
  EXPECT_EQ(handler_.pending_count(), 1u);
  EXPECT_EQ(handler_.deduplication_size(), 1u);
  EXPECT_FALSE(handler_.cancel_outgoing(kPeer, numbered(0x3e55, 1)));
}

TEST(ChatLedger, WithoutAnIdMakerTheChatIsTakenButNotAnswered) {
  ChatHandler handler{kLocal, {}, {}, 1000, 10};
  const Frame chat = *serialize_chat(
      {2, 0, numbered(0xf1, 1), kPeer, numbered(0x3e56, 1), UtcMicroseconds{0us}, "hi"});
  const ChatHandleResult result = handler.handle_frame(kPeer, chat);
  EXPECT_EQ(result.status, ChatHandleStatus::reply_unbuilt);
  EXPECT_FALSE(result.reply);
}

TEST(ChatLedger, KeysArePeerSlashIdentifierInLowerCase) {
  EXPECT_EQ(ChatHandler::peer_frame_key(kPeer, kLocal),
            kPeer.to_string() + "/" + kLocal.to_string());
}

}  // namespace
