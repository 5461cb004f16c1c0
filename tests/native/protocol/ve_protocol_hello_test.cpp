#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "native/protocol/ve_protocol.h"

namespace {

using namespace velmorine;

constexpr const char* kDevice = "d0000000-0000-4000-8000-000000000001";
constexpr const char* kDeviceUpper = "D0000000-0000-4000-8000-000000000001";
const std::string kNonce(64, 'c');

std::string header_text(const VEFrame& frame) {
  const auto bytes = frame.header();
  return std::string(bytes.begin(), bytes.end());
}

bool ends_with(const std::string& text, const std::string& tail) { return text.ends_with(tail); }

TEST(VEProtocolHello, BuildsTheThreeFormsWithCapabilitiesInTheirOrder) {
  const auto plain = VEProtocol::helloWithID(kDeviceUpper, kNonce, 1);
  const auto reminder = VEProtocol::reminderHelloWithID(kDevice, kNonce, 1);
  const auto durable = VEProtocol::durableHelloWithID(kDevice, kNonce, 1, false);
  const auto both = VEProtocol::durableHelloWithID(kDevice, kNonce, 1, true);
  ASSERT_TRUE(plain && reminder && durable && both);
  EXPECT_EQ(plain->kind(), "HELLO");
  EXPECT_TRUE(ends_with(header_text(*plain), R"("purpose":"control"})"));
  EXPECT_TRUE(ends_with(header_text(*reminder), R"("purpose":"control","notify_v1":1})"));
  EXPECT_TRUE(ends_with(header_text(*durable), R"("purpose":"control","durable_ack_v1":1})"));
  EXPECT_TRUE(ends_with(header_text(*both), R"("control","notify_v1":1,"durable_ack_v1":1})"));
  EXPECT_NE(header_text(*plain), header_text(*durable));  // fresh frame ids
  for (const auto* frame : {&*plain, &*reminder, &*durable, &*both}) {
    EXPECT_TRUE(frame->encoded());
    EXPECT_TRUE(VEProtocol::validateHello(*frame, kDevice, kNonce, 1));
  }
}

TEST(VEProtocolHello, ADataHelloNeverCarriesACapability) {
  for (const auto& frame : {VEProtocol::helloWithID(kDevice, kNonce, 2),
                            VEProtocol::reminderHelloWithID(kDevice, kNonce, 2),
                            VEProtocol::durableHelloWithID(kDevice, kNonce, 2, true)}) {
    ASSERT_TRUE(frame);
    EXPECT_TRUE(ends_with(header_text(*frame), R"("purpose":"data"})"));
    EXPECT_TRUE(VEProtocol::validateHello(*frame, kDevice, kNonce, 2));
    EXPECT_FALSE(VEProtocol::validateHello(*frame, kDevice, kNonce, 1));
  }
}

TEST(VEProtocolHello, RefusesBadArguments) {
  EXPECT_FALSE(VEProtocol::helloWithID(kDevice, kNonce, 0));
  EXPECT_FALSE(VEProtocol::helloWithID(kDevice, kNonce, 3));
  EXPECT_FALSE(VEProtocol::helloWithID("device", kNonce, 1));
  EXPECT_FALSE(VEProtocol::helloWithID(kDevice, std::string(64, 'C'), 1));
  EXPECT_FALSE(VEProtocol::helloWithID("00000000-0000-0000-0000-000000000000", kNonce, 1));
  EXPECT_FALSE(VEProtocol::reminderHelloWithID(kDevice, "", 1));

  const auto hello = VEProtocol::helloWithID(kDevice, kNonce, 1);
  EXPECT_TRUE(VEProtocol::validateHello(*hello, kDeviceUpper, kNonce, 1));
  EXPECT_FALSE(
      VEProtocol::validateHello(*hello, "d0000000-0000-4000-8000-000000000009", kNonce, 1));
  EXPECT_FALSE(VEProtocol::validateHello(*hello, kDevice, std::string(64, 'd'), 1));
  EXPECT_FALSE(VEProtocol::validateHello(*hello, kDevice, kNonce, 3));
  EXPECT_FALSE(VEProtocol::validateHello(*hello, "device", kNonce, 1));
  // A HELLO header carried under another kind is not a HELLO.
  protocol::Frame relabelled = hello->frame();
  relabelled.type = protocol::FrameKind::chat;
  EXPECT_FALSE(VEProtocol::validateHello(VEFrame(std::move(relabelled)), kDevice, kNonce, 1));
}

TEST(VEProtocolLiveness, BuildsAndReadsPingAndPong) {
  const auto ping = VEProtocol::livenessFrameWithKind("PING", 0);
  const auto pong = VEProtocol::livenessFrameWithKind("PONG", UINT64_MAX);
  ASSERT_TRUE(ping && pong);
  EXPECT_EQ(ping->kind(), "PING");
  EXPECT_EQ(pong->kind(), "PONG");
  EXPECT_EQ(VEProtocol::livenessID(*ping), 0u);
  EXPECT_EQ(VEProtocol::livenessID(*pong), UINT64_MAX);
  EXPECT_FALSE(VEProtocol::livenessFrameWithKind("ping", 1));
  EXPECT_FALSE(VEProtocol::livenessFrameWithKind("CHAT", 1));
  EXPECT_FALSE(VEProtocol::livenessID(*VEProtocol::helloWithID(kDevice, kNonce, 1)));
}

std::vector<uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// A route JSON of exactly `length` bytes.
std::string route_json(size_t length) {
  const std::string head = R"({"grant":null,"major":2,"pad":")";
  return head + std::string(length - head.size() - 24, 'x') + R"(","type":"NOTIFY_ROUTE"})";
}

TEST(VEProtocolReminderRoute, WrapsTheRouteJsonAsKindSeventeen) {
  const std::string json = route_json(1024);
  ASSERT_EQ(json.size(), 1024u);
  const auto frame = VEProtocol::reminderRouteWithJSON(bytes_of(json));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->frame().type, protocol::FrameKind::other);
  EXPECT_EQ(frame->kind(), "OTHER");
  EXPECT_EQ(frame->header(), bytes_of(json));
  EXPECT_TRUE(frame->payload().empty());

  // The kind stays 17 even when the route names a known type.
  const auto named = VEProtocol::reminderRouteWithJSON(bytes_of(R"({"type":"PING"})"));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->frame().type, protocol::FrameKind::other);

  EXPECT_FALSE(VEProtocol::reminderRouteWithJSON(bytes_of(route_json(1025))));
  EXPECT_FALSE(VEProtocol::reminderRouteWithJSON({}));
  EXPECT_FALSE(VEProtocol::reminderRouteWithJSON(bytes_of(R"({"grant":null,"major":2})")));
  EXPECT_FALSE(VEProtocol::reminderRouteWithJSON(bytes_of(R"({"type":"NOTIFY_ROUTE"} )")));
}

}  // namespace
