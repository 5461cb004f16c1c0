#include "native/protocol/frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;
using Bytes = std::vector<uint8_t>;

Bytes prefix(uint32_t header_length, uint32_t payload_length) {
  Bytes out;
  for (uint32_t value : {header_length, payload_length}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(value >> shift));
  }
  return out;
}

Bytes wire(const std::string& header, const Bytes& payload = {}) {
  Bytes out = prefix(static_cast<uint32_t>(header.size()), static_cast<uint32_t>(payload.size()));
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A header of exactly `length` bytes: {"type":"PING","p":"xxx..."}.
std::string header_of_length(size_t length) {
  const std::string head = R"({"type":"PING","p":")";
  return head + std::string(length - head.size() - 2, 'x') + "\"}";
}

const std::string kChat = R"({"major":2,"type":"CHAT"})";
const std::string kPing = R"({"major":2,"type":"PING","ping_id":1})";

TEST(FrameHeaderCheck, FindsTheKindByExactName) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {R"({"type":"HELLO"})", FrameKind::hello},
      {R"({"type":"CHAT_ACK"})", FrameKind::chat_ack},
      {R"({"type":"TRANSFER_COMPLETE"})", FrameKind::transfer_complete},
      {R"({"type":"ERROR"})", FrameKind::error},
      {R"({"type":"PING"})", FrameKind::ping},
      {R"({"type":"PONG"})", FrameKind::pong},
      {R"({"type":"NOTIFY_ROUTE","grant":null})", FrameKind::other},
      {R"({"type":"ping"})", FrameKind::other},
      {R"({"a":{"type":"CHAT"},"type":"HELLO"})", FrameKind::hello},
      {R"({"type":""})", FrameKind::other},
  };
  for (const auto& [header, kind] : cases) {
    const FrameHeaderCheck check = frame_type_of_header(header);
    EXPECT_TRUE(check.found) << header;
    EXPECT_EQ(check.kind, kind) << header;
  }
}

std::string nested(int depth) {
  // depth ancestors for the innermost value: {"type":"X","a":[[[...1...]]]}
  std::string open, close;
  for (int i = 0; i < depth - 2; ++i) {
    open += '[';
    close += ']';
  }
  return R"({"type":"X","a":)" + open + "1" + close + "}";
}

TEST(FrameHeaderCheck, RefusesAnythingButOneStrictObjectWithAType) {
  for (const std::string& header : {
           std::string(),
           std::string(R"( {"type":"CHAT"})"),
           std::string(R"({"type":"CHAT"} )"),
           std::string("{}"),
           std::string(R"({"kind":"CHAT"})"),
           std::string(R"({"type":1})"),
           std::string(R"({"type":"\u0043HAT"})"),
           std::string(R"({"type":"CH\"AT"})"),
           std::string(R"({"ty\u0070e":"CHAT"})"),
           std::string(R"({"type":"CHAT","type":"CHAT"})"),
           std::string(R"({"type":"CHAT","o":{"a":1,"a":2}})"),
           std::string(R"({"type":"CHAT","x"})"),
           std::string(R"({"type":["CHAT"]})"),
           std::string("{\"type\":\"CH\xC3\"}"),
           std::string(R"([{"type":"CHAT"}])"),
           std::string(R"({"type":"CHAT"})") + '\0',
           nested(33),
       }) {
    EXPECT_FALSE(frame_type_of_header(header).found) << header;
  }
  EXPECT_TRUE(frame_type_of_header(nested(32)).found);
  // Repeated keys in different objects are fine.
  EXPECT_TRUE(frame_type_of_header(R"({"type":"CHAT","a":{"x":1},"b":{"x":1}})").found);
}

TEST(EncodeFrame, WritesPrefixHeaderAndPayload) {
  const Frame frame{FrameKind::chat, kChat, {1, 2, 3}};
  EXPECT_EQ(encode_frame(frame), wire(kChat, {1, 2, 3}));
}

TEST(EncodeFrame, RefusesOutOfRangeLengthsAndNonFrameHeaders) {
  EXPECT_FALSE(encode_frame(Frame{FrameKind::chat, "", {}}));
  EXPECT_FALSE(encode_frame(Frame{FrameKind::chat, R"({"kind":"CHAT"})", {}}));
  EXPECT_TRUE(encode_frame(Frame{FrameKind::ping, header_of_length(65536), {}}));
  EXPECT_FALSE(encode_frame(Frame{FrameKind::ping, header_of_length(65537), {}}));
  EXPECT_TRUE(encode_frame(Frame{FrameKind::ping, kPing, Bytes(1048576)}));
  EXPECT_FALSE(encode_frame(Frame{FrameKind::ping, kPing, Bytes(1048577)}));
}

TEST(EncodeFrame, TheWireKindComesFromTheHeaderNotTheField) {
  const auto bytes = encode_frame(Frame{FrameKind::chat, kPing, {}});
  ASSERT_TRUE(bytes);
  FrameDecoder decoder;
  const DecodeResult result = decoder.feed(*bytes);
  ASSERT_EQ(result.frames.size(), 1u);
  EXPECT_EQ(result.frames[0].type, FrameKind::ping);
}

const Bytes kStream =
    concat({wire(kChat, {9, 8, 7}), wire(kPing), wire(R"({"type":"X"})", Bytes(300, 5))});

void expect_stream_frames(const std::vector<Frame>& frames) {
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].type, FrameKind::chat);
  EXPECT_EQ(frames[0].header_utf8, kChat);
  EXPECT_EQ(frames[0].payload, (Bytes{9, 8, 7}));
  EXPECT_EQ(frames[1].type, FrameKind::ping);
  EXPECT_TRUE(frames[1].payload.empty());
  EXPECT_EQ(frames[2].type, FrameKind::other);
  EXPECT_EQ(frames[2].payload, Bytes(300, 5));
}

class FrameDecoderSplits : public testing::TestWithParam<size_t> {};

TEST_P(FrameDecoderSplits, AnyChunkingYieldsTheSameFrames) {
  FrameDecoder decoder;
  std::vector<Frame> frames;
  const size_t step = GetParam();
  for (size_t pos = 0; pos < kStream.size(); pos += step) {
    const size_t take = std::min(step, kStream.size() - pos);
    DecodeResult result = decoder.feed(std::span(kStream).subspan(pos, take));
    ASSERT_EQ(result.error, DecodeError::none);
    for (Frame& frame : result.frames) frames.push_back(std::move(frame));
  }
  expect_stream_frames(frames);
  EXPECT_EQ(decoder.finish(), DecodeError::none);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, FrameDecoderSplits, testing::Values(1, 3, 7, 8, 9, 64, 10000));

TEST(FrameDecoder, ReturnsWholeFramesAndKeepsTheRest) {
  FrameDecoder decoder;
  const Bytes third = wire(kChat, {1, 2, 3, 4});
  Bytes chunk = concat({wire(kPing), wire(kChat)});
  chunk.insert(chunk.end(), third.begin(), third.begin() + 20);
  DecodeResult first = decoder.feed(chunk);
  EXPECT_EQ(first.error, DecodeError::none);
  EXPECT_EQ(first.frames.size(), 2u);
  EXPECT_EQ(decoder.finish(), DecodeError::truncated);  // sticky from here
  DecodeResult second = decoder.feed(Bytes(third.begin() + 20, third.end()));
  EXPECT_EQ(second.error, DecodeError::truncated);
}

TEST(FrameDecoder, CompletesTheRestOfASplitFrameLater) {
  FrameDecoder decoder;
  const Bytes third = wire(kChat, {1, 2, 3, 4});
  Bytes chunk = concat({wire(kPing), wire(kChat)});
  chunk.insert(chunk.end(), third.begin(), third.begin() + 20);
  EXPECT_EQ(decoder.feed(chunk).frames.size(), 2u);
  DecodeResult rest = decoder.feed(Bytes(third.begin() + 20, third.end()));
  ASSERT_EQ(rest.frames.size(), 1u);
  EXPECT_EQ(rest.frames[0].payload, (Bytes{1, 2, 3, 4}));
}

TEST(FrameDecoder, ChecksLengthsFromThePrefixAlone) {
  struct Case {
    Bytes bytes;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {prefix(0, 5), DecodeError::empty_header},
      {prefix(0, 2000000), DecodeError::empty_header},
      {prefix(65537, 0), DecodeError::header_too_long},
      {prefix(65537, 2000000), DecodeError::header_too_long},
      {prefix(20, 1048577), DecodeError::payload_too_long},
      {prefix(0xFFFFFFFF, 0xFFFFFFFF), DecodeError::header_too_long},
      {prefix(65536, 1048576), DecodeError::none},
  };
  for (const Case& c : cases) {
    FrameDecoder decoder;
    EXPECT_EQ(decoder.feed(c.bytes).error, c.error);
  }
}

TEST(FrameDecoder, AcceptsTheLargestHeaderAndPayload) {
  FrameDecoder decoder;
  const std::string header = header_of_length(65536);
  DecodeResult result = decoder.feed(wire(header, Bytes(1048576, 0xab)));
  ASSERT_EQ(result.frames.size(), 1u);
  EXPECT_EQ(result.frames[0].header_utf8, header);
  EXPECT_EQ(result.frames[0].payload.size(), 1048576u);
}

// The decoder keeps the header check's buffers from frame to frame, growing and dropping them
// with the header size; no header may be judged by what an earlier one left behind.
TEST(FrameDecoder, ChecksEachHeaderOnItsOwnWhateverCameBefore) {
  const std::string deep = nested(32);
  const std::vector<std::pair<std::string, int32_t>> headers = {
      {header_of_length(65536), FrameKind::ping},
      {kChat, FrameKind::chat},
      {deep, FrameKind::other},
      {kPing, FrameKind::ping},
      {header_of_length(5000), FrameKind::ping},
      {kChat, FrameKind::chat},
  };
  FrameDecoder decoder;
  for (const auto& [header, kind] : headers) {
    DecodeResult result = decoder.feed(wire(header));
    ASSERT_EQ(result.frames.size(), 1u) << header.substr(0, 40);
    EXPECT_EQ(result.frames[0].type, kind);
  }
  EXPECT_EQ(decoder.feed(wire(R"({"major":2,"type":"CHAT","major":2})")).error,
            DecodeError::not_a_frame);
}

TEST(FrameDecoder, ErrorsAreStickyAndFramesBeforeThemAreKept) {
  FrameDecoder decoder;
  DecodeResult result =
      decoder.feed(concat({wire(kPing), wire(R"( {"type":"CHAT"})"), wire(kPing)}));
  EXPECT_EQ(result.error, DecodeError::not_a_frame);
  EXPECT_EQ(result.frames.size(), 1u);
  DecodeResult later = decoder.feed(wire(kPing));
  EXPECT_EQ(later.error, DecodeError::not_a_frame);
  EXPECT_TRUE(later.frames.empty());
  EXPECT_EQ(decoder.finish(), DecodeError::not_a_frame);
  decoder.reset();
  EXPECT_EQ(decoder.feed(wire(kPing)).frames.size(), 1u);
}

TEST(FrameDecoder, FinishReportsAStreamEndingInsideAFrame) {
  const Bytes ping = wire(kPing);
  for (size_t cut : {size_t{1}, size_t{7}, size_t{8}, size_t{12}, ping.size() - 1}) {
    FrameDecoder decoder;
    decoder.feed(std::span(ping).first(cut));
    EXPECT_EQ(decoder.finish(), DecodeError::truncated) << cut;
  }
  FrameDecoder decoder;
  EXPECT_EQ(decoder.finish(), DecodeError::none);
  decoder.feed(ping);
  EXPECT_EQ(decoder.finish(), DecodeError::none);
  EXPECT_EQ(decoder.feed({}).error, DecodeError::none);
}

TEST(FrameDecoder, ResetCurrentDropsTheFrameInProgressButKeepsTheError) {
  FrameDecoder decoder;
  const Bytes ping = wire(kPing);
  decoder.feed(std::span(ping).first(10));
  decoder.reset_current();
  EXPECT_EQ(decoder.finish(), DecodeError::none);
  EXPECT_EQ(decoder.feed(ping).frames.size(), 1u);

  decoder.feed(prefix(0, 0));
  decoder.reset_current();
  EXPECT_EQ(decoder.finish(), DecodeError::empty_header);
}

}  // namespace
