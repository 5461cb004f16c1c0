#include <gtest/gtest.h>

#include <string>

#include "native/protocol/chat_frames.h"
#include "native/protocol/ve_protocol.h"

namespace {

using namespace velmorine;

constexpr const char* kSender = "11111111-2222-4333-8444-555555555555";
constexpr const char* kSenderUpper = "11111111-2222-4333-8444-5555555555AA";
constexpr const char* kOther = "99999999-2222-4333-8444-555555555555";
constexpr const char* kMessage = "BBBBBBBB-0000-4000-8000-000000000002";
constexpr const char* kFrame = "aaaaaaaa-0000-4000-8000-000000000001";

TEST(VEProtocolChat, BuildsAndReadsChatWithLowerCaseIdentifiers) {
  const auto frame = VEProtocol::chatWithSender(kSender, kMessage, kFrame, "hi \"there\"");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind(), "CHAT");
  EXPECT_TRUE(frame->encoded());
  const auto content = VEProtocol::parseChat(*frame, kSender);
  ASSERT_TRUE(content);
  EXPECT_EQ(content->message_id, "bbbbbbbb-0000-4000-8000-000000000002");
  EXPECT_EQ(content->frame_id, kFrame);
  EXPECT_EQ(content->text, "hi \"there\"");
  EXPECT_FALSE(VEProtocol::parseChat(*frame, kOther));
  EXPECT_FALSE(VEProtocol::parseChat(*frame, "not an id"));

  // The stamp is the system clock's and is valid wire text.
  const auto message = protocol::parse_chat(frame->frame(), *core::Uuid::parse(kSender));
  ASSERT_TRUE(message);
  EXPECT_GT(message->timestamp.time_since_epoch().count(), 0);
}

TEST(VEProtocolChat, RefusesBadIdentifiersAndTextThePolicyRefuses) {
  EXPECT_TRUE(VEProtocol::chatWithSender(kSenderUpper, kMessage, kFrame, "x"));
  EXPECT_FALSE(VEProtocol::chatWithSender("nope", kMessage, kFrame, "x"));
  EXPECT_FALSE(VEProtocol::chatWithSender(kSender, "nope", kFrame, "x"));
  EXPECT_FALSE(VEProtocol::chatWithSender(kSender, kMessage, "nope", "x"));
  EXPECT_FALSE(
      VEProtocol::chatWithSender(kSender, "00000000-0000-0000-0000-000000000000", kFrame, "x"));
  EXPECT_FALSE(VEProtocol::chatWithSender(kSender, kMessage, kFrame, "  "));
  EXPECT_FALSE(VEProtocol::chatWithSender(kSender, kMessage, kFrame, std::string(4096, 'a')));
  EXPECT_TRUE(VEProtocol::chatWithSender(kSender, kMessage, kFrame, std::string(4095, 'a')));
}

TEST(VEProtocolChat, AcknowledgementsCarryAFreshFrameIdAndTheCorrelation) {
  const auto first = VEProtocol::ackWithSender(kSender, kMessage, kFrame);
  const auto second = VEProtocol::ackWithSender(kSender, kMessage, kFrame);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->kind(), "CHAT_ACK");
  EXPECT_NE(first->header(), second->header());
  const auto content = VEProtocol::parseAck(*first, kSender);
  ASSERT_TRUE(content);
  EXPECT_EQ(content->message_id, "bbbbbbbb-0000-4000-8000-000000000002");
  EXPECT_EQ(content->correlation_id, kFrame);
  EXPECT_FALSE(VEProtocol::parseAck(*first, kOther));
  EXPECT_FALSE(VEProtocol::ackWithSender(kSender, kMessage, "x"));
  const auto chat = VEProtocol::chatWithSender(kSender, kMessage, kFrame, "x");
  EXPECT_FALSE(VEProtocol::parseAck(*chat, kSender));
}

}  // namespace
