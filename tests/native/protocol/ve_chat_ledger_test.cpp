#include "native/protocol/ve_chat_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "native/protocol/ve_protocol.h"

namespace {

using namespace velmorine;
using namespace std::chrono_literals;

constexpr const char* kLocal = "10c41000-0000-4000-8000-000000000001";
constexpr const char* kPeer = "bee70000-0000-4000-8000-000000000002";
constexpr const char* kPeerUpper = "BEE70000-0000-4000-8000-000000000002";

std::string message_id(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "3e550000-0000-4000-8000-%012d", n);
  return text;
}

class VEChatLedgerTest : public testing::Test {
 protected:
  std::chrono::steady_clock::time_point now_{10s};
  std::unique_ptr<VEChatLedger> ledger_ =
      VEChatLedger::create(kLocal, 5000, [this] { return now_; });
};

TEST(VEChatLedger, CreationChecksTheTimeoutAndLocalId) {
  EXPECT_TRUE(VEChatLedger::create(kLocal));
  EXPECT_TRUE(VEChatLedger::create(kLocal, 1));
  EXPECT_TRUE(VEChatLedger::create(kLocal, 600000));
  EXPECT_FALSE(VEChatLedger::create(kLocal, 0));
  EXPECT_FALSE(VEChatLedger::create(kLocal, 600001));
  EXPECT_FALSE(VEChatLedger::create("local"));
}

TEST_F(VEChatLedgerTest, ARegisteredChatIsSettledByThePeersAcknowledgement) {
  const auto chat = VEProtocol::chatWithSender(kLocal, message_id(1), kPeer, "hello");
  ASSERT_TRUE(chat);
  const auto sent = ledger_->begin(*chat, kPeerUpper);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->header(), chat->header());
  EXPECT_FALSE(ledger_->begin(*chat, kPeer));  // already in flight

  const auto content = VEProtocol::parseChat(*chat, kLocal);
  const auto ack = VEProtocol::ackWithSender(kPeer, message_id(1), content->frame_id);
  const auto handling = ledger_->handle(*ack, kPeer);
  ASSERT_TRUE(handling);
  EXPECT_EQ(handling->acknowledged, message_id(1));
  EXPECT_FALSE(handling->duplicate);
  EXPECT_FALSE(handling->reply);
  EXPECT_TRUE(ledger_->expire().empty());
}

TEST_F(VEChatLedgerTest, OnlyChatsFromTheLocalDeviceAreRegistered) {
  const auto foreign = VEProtocol::chatWithSender(kPeer, message_id(1), kPeer, "hello");
  EXPECT_FALSE(ledger_->begin(*foreign, kPeer));
  const auto chat = VEProtocol::chatWithSender(kLocal, message_id(1), kPeer, "hello");
  EXPECT_FALSE(ledger_->begin(*chat, "not a peer"));
  EXPECT_FALSE(ledger_->begin(*chat, kLocal));
}

TEST_F(VEChatLedgerTest, IncomingChatsAreAnsweredAndRepeatsMarked) {
  const auto chat = VEProtocol::chatWithSender(kPeer, message_id(2), kLocal, "caf\xC3\xA9");
  const auto first = ledger_->handle(*chat, kPeer);
  const auto second = ledger_->handle(*chat, kPeer);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->incoming);
  EXPECT_EQ(first->incoming->message_id, message_id(2));
  EXPECT_EQ(first->incoming->text, "caf\xC3\xA9");
  EXPECT_FALSE(first->duplicate);
  EXPECT_TRUE(second->duplicate);
  EXPECT_FALSE(second->incoming);
  ASSERT_TRUE(first->reply && second->reply);
  EXPECT_EQ(first->reply->kind(), "CHAT_ACK");
  const auto ack = VEProtocol::parseAck(*first->reply, kLocal);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->correlation_id, kLocal);  // the CHAT's frame id in this test
  EXPECT_EQ(ack->message_id, message_id(2));

  // A CHAT claiming another sender is refused and not answered.
  EXPECT_FALSE(ledger_->handle(*chat, "bee70000-0000-4000-8000-000000000009"));
  EXPECT_FALSE(ledger_->handle(*chat, "peer"));
}

TEST_F(VEChatLedgerTest, TheDuplicateWindowHoldsEightThousandOneHundredNinetyTwoMessages) {
  const auto chat_of = [](int n) {
    return *VEProtocol::chatWithSender(kPeer, message_id(n), kLocal, "x");
  };
  const VEFrame first = chat_of(0);
  EXPECT_FALSE(ledger_->handle(first, kPeer)->duplicate);
  for (int n = 1; n <= 8192; ++n) ledger_->handle(chat_of(n), kPeer);
  EXPECT_FALSE(ledger_->handle(first, kPeer)->duplicate);  // forgotten: 8192 newer ones
  EXPECT_TRUE(ledger_->handle(chat_of(8192), kPeer)->duplicate);
}

TEST_F(VEChatLedgerTest, ExpiresAndCancelsOnTheOwnersClock) {
  for (int n : {1, 2, 3}) {
    const auto chat = VEProtocol::chatWithSender(kLocal, message_id(n), message_id(n), "m");
    ASSERT_TRUE(ledger_->begin(*chat, kPeer));
  }
  ledger_->cancelMessage(message_id(1), kPeer);
  ledger_->cancelMessage("nope", kPeer);
  ledger_->cancelPeer("nope");
  now_ += 4999ms;
  EXPECT_TRUE(ledger_->expire().empty());
  now_ += 1ms;
  auto expired = ledger_->expire();
  ASSERT_EQ(expired.size(), 2u);
  std::sort(expired.begin(), expired.end(),
            [](const auto& a, const auto& b) { return a.message_id < b.message_id; });
  EXPECT_EQ(expired[0].peer_id, kPeer);
  EXPECT_EQ(expired[0].message_id, message_id(2));
  EXPECT_EQ(expired[1].message_id, message_id(3));
}

}  // namespace
