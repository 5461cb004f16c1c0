#include "native/protocol/hello_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;
using velmorine::core::Uuid;

const Uuid kDevice = *Uuid::parse("d0000000-0000-4000-8000-000000000001");
const Uuid kOther = *Uuid::parse("d0000000-0000-4000-8000-000000000002");
const Uuid kFrameId = *Uuid::parse("f0000000-0000-4000-8000-000000000003");
const std::string kNonce(64, 'a');
const std::string kOtherNonce = std::string(63, 'a') + "b";

Hello control_hello() {
  Hello hello;
  hello.id = kFrameId;
  hello.sender = kDevice;
  hello.device_id = kDevice;
  hello.process_nonce = kNonce;
  return hello;
}

const HelloExpectation kExpectControl{kDevice, kNonce, HelloPurpose::control, true};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(SerializeHello, WritesTheMembersInOrder) {
  Hello hello = control_hello();
  hello.durable_ack_v1 = true;
  hello.notify_v1 = true;
  const auto frame = serialize_hello(hello);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->type, FrameKind::hello);
  EXPECT_TRUE(frame->payload.empty());
  EXPECT_EQ(frame->header_utf8,
            R"({"major":2,"minor":0,"type":"HELLO","id":"f0000000-0000-4000-8000-000000000003",)"
            R"("sender":"d0000000-0000-4000-8000-000000000001",)"
            R"("device_id":"d0000000-0000-4000-8000-000000000001","process_nonce":")" +
                kNonce + R"(","purpose":"control","durable_ack_v1":1,"notify_v1":1})");
}

TEST(SerializeHello, RefusesInconsistentHellos) {
  std::vector<Hello> cases(8, control_hello());
  cases[0].major = 3;
  cases[1].id = Uuid();
  cases[2].sender = Uuid();
  cases[2].device_id = Uuid();
  cases[3].device_id = kOther;
  cases[4].process_nonce = std::string(64, 'A');
  cases[5].process_nonce = std::string(63, 'a');
  cases[6].purpose = HelloPurpose::data;
  cases[6].notify_v1 = true;
  cases[7].purpose = HelloPurpose::data;
  cases[7].durable_ack_v1 = true;
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_FALSE(serialize_hello(cases[i])) << i;
}

TEST(ValidateHello, RoundTripsWithCapabilities) {
  Hello hello = control_hello();
  hello.notify_v1 = true;
  const auto parsed = validate_hello(*serialize_hello(hello), kExpectControl);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->id, kFrameId);
  EXPECT_EQ(parsed->device_id, kDevice);
  EXPECT_TRUE(parsed->notify_v1);
  EXPECT_FALSE(parsed->durable_ack_v1);
}

TEST(ValidateHello, ReportsTheFirstFailureByItsCode) {
  const std::string control = serialize_hello(control_hello())->header_utf8;
  Hello data_hello = control_hello();
  data_hello.purpose = HelloPurpose::data;
  const std::string data = serialize_hello(data_hello)->header_utf8;
  const std::string nonce_member = R"("process_nonce":")" + kNonce + "\"";
  const HelloExpectation expect_data{kDevice, kNonce, HelloPurpose::data, true};

  struct Case {
    std::string name;
    std::string header;
    HelloExpectation expectation;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {"accepted", control, kExpectControl, HelloError::accepted},
      {"unknown member", replaced(control, "{", R"({"x":[1,{"y":2}],)"), kExpectControl,
       HelloError::accepted},
      {"other order", replaced(replaced(control, R"("major":2,)", ""), "}", R"(,"major":2})"),
       kExpectControl, HelloError::accepted},
      {"minor 65535", replaced(control, R"("minor":0)", R"("minor":65535)"), kExpectControl,
       HelloError::accepted},
      {"data with notify 0", replaced(data, "}", R"(,"notify_v1":0})"), expect_data,
       HelloError::accepted},
      {"empty", "", kExpectControl, HelloError::malformed},
      {"trailing blank", control + " ", kExpectControl, HelloError::malformed},
      {"escaped key", replaced(control, R"("minor")", R"("min\u006fr")"), kExpectControl,
       HelloError::malformed},
      {"repeated key", replaced(control, "}", R"(,"minor":0})"), kExpectControl,
       HelloError::duplicate_key},
      {"empty object", "{}", kExpectControl, HelloError::missing_member},
      {"no nonce", replaced(control, "," + nonce_member, ""), kExpectControl,
       HelloError::missing_member},
      {"no minor", replaced(control, R"("minor":0,)", ""), kExpectControl,
       HelloError::missing_member},
      {"major as string", replaced(control, R"("major":2)", R"("major":"2")"), kExpectControl,
       HelloError::invalid_value},
      {"minor 65536", replaced(control, R"("minor":0)", R"("minor":65536)"), kExpectControl,
       HelloError::invalid_value},
      {"type CHAT", replaced(control, R"("HELLO")", R"("CHAT")"), kExpectControl,
       HelloError::invalid_value},
      {"upper-case nonce", replaced(control, kNonce, std::string(64, 'A')), kExpectControl,
       HelloError::invalid_value},
      {"short nonce", replaced(control, kNonce, std::string(63, 'a')), kExpectControl,
       HelloError::invalid_value},
      {"upper-case id", replaced(control, "f0000000-", "F0000000-"), kExpectControl,
       HelloError::invalid_value},
      {"purpose other", replaced(control, R"("control")", R"("video")"), kExpectControl,
       HelloError::invalid_value},
      {"capability 2", replaced(control, "}", R"(,"notify_v1":2})"), kExpectControl,
       HelloError::invalid_value},
      {"capability true", replaced(control, "}", R"(,"durable_ack_v1":true})"), kExpectControl,
       HelloError::invalid_value},
      {"data with notify 1", replaced(data, "}", R"(,"notify_v1":1})"), expect_data,
       HelloError::invalid_value},
      {"major 3", replaced(control, R"("major":2)", R"("major":3)"), kExpectControl,
       HelloError::unsupported_major},
      {"expectation unset", control, HelloExpectation{}, HelloError::expectation_unset},
      {"sender differs from device",
       replaced(control, R"("sender":"d0000000-0000-4000-8000-000000000001")",
                R"("sender":"d0000000-0000-4000-8000-000000000002")"),
       kExpectControl, HelloError::unexpected_device},
      {"another device", control, HelloExpectation{kOther, kNonce, HelloPurpose::control, true},
       HelloError::unexpected_device},
      {"another nonce", control,
       HelloExpectation{kDevice, kOtherNonce, HelloPurpose::control, true},
       HelloError::unexpected_nonce},
      {"another purpose", control, expect_data, HelloError::unexpected_purpose},
  };
  for (const Case& c : cases) {
    const auto result = validate_hello(Frame{FrameKind::hello, c.header, {}}, c.expectation);
    EXPECT_EQ(result ? HelloError::accepted : result.error(), c.error) << c.name;
  }
  EXPECT_EQ(validate_hello(Frame{FrameKind::hello, control, {0}}, kExpectControl).error(),
            HelloError::payload_not_empty);
}

}  // namespace
