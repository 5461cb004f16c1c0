#include "native/protocol/liveness_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;

TEST(LivenessFrames, BuildsPingAndPongWithoutMinorOrId) {
  const auto ping = build_liveness_frame(FrameKind::ping, 0);
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->header_utf8, R"({"major":2,"type":"PING","ping_id":0})");
  const auto pong = build_liveness_frame(FrameKind::pong, UINT64_MAX);
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->type, FrameKind::pong);
  EXPECT_EQ(pong->header_utf8, R"({"major":2,"type":"PONG","ping_id":18446744073709551615})");
  EXPECT_FALSE(build_liveness_frame(FrameKind::chat, 1));
  for (uint64_t id : {uint64_t{0}, uint64_t{42}, UINT64_MAX}) {
    EXPECT_EQ(read_liveness_id(*build_liveness_frame(FrameKind::ping, id)), id);
  }
}

TEST(LivenessFrames, ReadsOnlyAWellFormedPingId) {
  const std::vector<std::pair<std::string, std::optional<uint64_t>>> cases = {
      {R"({"major":2,"type":"PING","ping_id":7})", 7},
      {R"({"ping_id":7,"major":2})", 7},  // "type" is not looked at
      {R"({"major":2,"extra":{"a":[1,2]},"ping_id":7})", 7},
      {R"({"major":2,"type":"PING","type":"PONG","ping_id":7})", 7},
      {R"({"major":2,"type":"PING","ping_id":007})", std::nullopt},
      {R"({"major":2,"type":"PING","ping_id":"7"})", std::nullopt},
      {R"({"major":2,"type":"PING","ping_id":-7})", std::nullopt},
      {R"({"major":2,"type":"PING","ping_id":18446744073709551616})", std::nullopt},
      {R"({"major":2,"major":2,"ping_id":7})", std::nullopt},
      {R"({"major":2,"ping_id":7,"ping_id":7})", std::nullopt},
      {R"({"major":3,"ping_id":7})", std::nullopt},
      {R"({"major":"2","ping_id":7})", std::nullopt},
      {R"({"type":"PING","ping_id":7})", std::nullopt},
      {R"({"major":2,"type":"PING"})", std::nullopt},
      {R"( {"major":2,"ping_id":7})", std::nullopt},
      {R"({"major":2,"ping_id":{"a":1}})", std::nullopt},
      {R"({"major":2})", std::nullopt},
  };
  for (const auto& [header, id] : cases) {
    EXPECT_EQ(read_liveness_id(Frame{FrameKind::ping, header, {}}), id) << header;
  }
}

TEST(LivenessFrames, RefusesOtherKindsPayloadsAndLargeHeaders) {
  const std::string header = R"({"major":2,"type":"PING","ping_id":7})";
  EXPECT_FALSE(read_liveness_id(Frame{FrameKind::chat, header, {}}));
  EXPECT_FALSE(read_liveness_id(Frame{FrameKind::ping, header, {1}}));

  // 1024 bytes are read; 1025 are not.
  const std::string head = R"({"major":2,"ping_id":7,"pad":")";
  const std::string at_limit = head + std::string(1024 - head.size() - 2, 'x') + "\"}";
  ASSERT_EQ(at_limit.size(), 1024u);
  EXPECT_EQ(read_liveness_id(Frame{FrameKind::pong, at_limit, {}}), 7u);
  const std::string over = head + std::string(1025 - head.size() - 2, 'x') + "\"}";
  EXPECT_FALSE(read_liveness_id(Frame{FrameKind::pong, over, {}}));

  // More than 64 tokens is refused, however small the header.
  std::string many = R"({"major":2,"ping_id":7,"a":[)";
  for (int i = 0; i < 60; ++i) many += "1,";
  many += "1]}";
  EXPECT_FALSE(read_liveness_id(Frame{FrameKind::ping, many, {}}));
}

}  // namespace
