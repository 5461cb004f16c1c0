#include "native/protocol/ve_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine;
using protocol::Frame;
using protocol::FrameKind;
using Bytes = std::vector<uint8_t>;

// Written by hand so that headers the encoder would refuse can be sent too.
Bytes wire(const std::string& header, const Bytes& payload = {}) {
  Bytes out;
  for (size_t value : {header.size(), payload.size()}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(value >> shift));
  }
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST(VEFrame, ReportsKindNamesWithErrorAndUnknownAsOther) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"HELLO", "HELLO"}, {"CHAT", "CHAT"},   {"CANCEL", "CANCEL"},      {"PING", "PING"},
      {"PONG", "PONG"},   {"ERROR", "OTHER"}, {"NOTIFY_ROUTE", "OTHER"},
  };
  for (const auto& [type, kind] : cases) {
    VEFrameDecoder decoder;
    const auto frames = decoder.feed(wire(R"({"type":")" + type + "\"}"));
    ASSERT_TRUE(frames && frames->size() == 1) << type;
    EXPECT_EQ((*frames)[0].kind(), kind) << type;
  }
}

TEST(VEFrame, CopiesHeaderAndPayloadAndReencodes) {
  const std::string header = R"({"type":"CHAT"})";
  const VEFrame frame(Frame{FrameKind::chat, header, {4, 5}});
  EXPECT_EQ(frame.header(), Bytes(header.begin(), header.end()));
  EXPECT_EQ(frame.payload(), (Bytes{4, 5}));
  EXPECT_EQ(frame.encoded(), wire(header, {4, 5}));
  EXPECT_FALSE(VEFrame(Frame{FrameKind::chat, "{}", {}}).encoded());
}

TEST(VEFrameDecoder, RefusesOversizedChunksWithoutTouchingTheDecoder) {
  VEFrameDecoder decoder;
  const auto refused = decoder.feed(Bytes(65537, 0));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), (VEError{"org.velmorine.Velmorine.protocol", -1, ""}));
  const auto frames = decoder.feed(wire(R"({"type":"PING"})"));
  ASSERT_TRUE(frames);
  EXPECT_EQ(frames->size(), 1u);
  EXPECT_TRUE(decoder.finish());
}

TEST(VEFrameDecoder, DecoderFailuresBecomeProtocolErrors) {
  VEFrameDecoder decoder;
  Bytes chunk = wire(R"({"type":"PING"})");
  const Bytes bad = wire(R"({"type":"PING","type":"PONG"})");
  chunk.insert(chunk.end(), bad.begin(), bad.end());
  const auto result = decoder.feed(chunk);
  ASSERT_FALSE(result);  // the good frame before the failure is dropped
  EXPECT_EQ(result.error().domain, "org.velmorine.Velmorine.protocol");
  EXPECT_EQ(result.error().code, 4);
  EXPECT_TRUE(result.error().description.empty());
  EXPECT_EQ(decoder.finish().error().code, 4);

  VEFrameDecoder truncated;
  ASSERT_TRUE(truncated.feed(Bytes(7, 0)));
  EXPECT_EQ(truncated.finish().error().code, 5);
}

}  // namespace
