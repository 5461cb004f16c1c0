#include "native/protocol/chat_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;
using std::chrono::microseconds;
using velmorine::core::Uuid;

const Uuid kSender = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kOther = *Uuid::parse("99999999-2222-4333-8444-555555555555");
const Uuid kFrameId = *Uuid::parse("aaaaaaaa-0000-4000-8000-000000000001");
const Uuid kMessageId = *Uuid::parse("bbbbbbbb-0000-4000-8000-000000000002");
const UtcMicroseconds kNow{microseconds{1709251199999123}};

ChatHeader chat_header(std::string text = "hello") {
  return ChatHeader{2, 0, kFrameId, kSender, kMessageId, kNow, std::move(text)};
}

// A CHAT header with the members given, in the given order.
std::string chat_json(const std::string& members) { return "{" + members + "}"; }

const std::string kCommon =
    R"("major":2,"minor":0,"type":"CHAT","id":"aaaaaaaa-0000-4000-8000-000000000001",)"
    R"("sender":"11111111-2222-4333-8444-555555555555",)"
    R"("message_id":"bbbbbbbb-0000-4000-8000-000000000002",)";
std::string with(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

const std::string kStamp = R"("timestamp":"2024-02-29T23:59:59.999Z",)";

TEST(SerializeChat, WritesMembersInOrderWithoutWhitespace) {
  const auto frame = serialize_chat(chat_header("say \"hi\"\n"));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->type, FrameKind::chat);
  EXPECT_TRUE(frame->payload.empty());
  EXPECT_EQ(frame->header_utf8, chat_json(kCommon + kStamp + R"("text":"say \"hi\"\n")"));
  EXPECT_TRUE(frame_type_of_header(frame->header_utf8).found);
}

TEST(SerializeChat, RefusesWhatCannotBeSent) {
  std::vector<ChatHeader> cases(6, chat_header());
  cases[0].major = 1;
  cases[1].id = Uuid();
  cases[2].sender = Uuid();
  cases[3].message_id = Uuid();
  cases[4].text = "   ";
  cases[5].timestamp = UtcMicroseconds{microseconds{INT64_MAX}};
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_FALSE(serialize_chat(cases[i])) << i;
  EXPECT_FALSE(serialize_chat(chat_header(std::string(32769, 'a'))));
  EXPECT_FALSE(serialize_chat(chat_header("\xC3")));
  EXPECT_TRUE(serialize_chat(chat_header(std::string(32768, 'a'))));
}

TEST(ParseChat, RoundTripsWithTheTimestampInWholeMilliseconds) {
  const std::string text = "caf\xC3\xA9 \xF0\x9F\x98\x80 \"quoted\" \x01";
  const auto frame = serialize_chat(chat_header(text));
  ASSERT_TRUE(frame);
  const auto message = parse_chat(*frame, kSender);
  ASSERT_TRUE(message) << message.error();
  EXPECT_EQ(message->id, kFrameId);
  EXPECT_EQ(message->sender, kSender);
  EXPECT_EQ(message->message_id, kMessageId);
  EXPECT_EQ(message->timestamp.time_since_epoch().count(), 1709251199999000);
  EXPECT_EQ(message->text, text);
}

struct ParseCase {
  std::string name;
  std::string header;
  int32_t error;
};

TEST(ParseChat, ReportsTheFirstFailureByItsCode) {
  const std::string text = R"("text":"hi")";
  const std::vector<ParseCase> cases = {
      {"accepted", chat_json(kCommon + kStamp + text), ParseError::none},
      {"other order", chat_json(text + "," + kStamp + kCommon + R"("extra":{"a":[1]})"),
       ParseError::none},
      {"minor 7", chat_json(with(kCommon, R"("minor":0)", R"("minor":7)") + kStamp + text),
       ParseError::none},
      {"escaped e acute", chat_json(kCommon + kStamp + R"("text":"\u00e9")"), ParseError::none},
      {"control byte", chat_json(kCommon + kStamp + R"("text":"\u0001")"), ParseError::none},
      {"empty header", "", ParseError::malformed},
      {"byte order mark", "\xEF\xBB\xBF" + chat_json(kCommon + kStamp + text),
       ParseError::malformed},
      {"leading blank", " " + chat_json(kCommon + kStamp + text), ParseError::malformed},
      {"key without value", chat_json(kCommon + kStamp + text + R"(,"x")"), ParseError::malformed},
      {"repeated key", chat_json(kCommon + kStamp + text + "," + text), ParseError::duplicate_key},
      {"no members", "{}", ParseError::missing_member},
      {"no timestamp", chat_json(kCommon + text), ParseError::missing_member},
      {"no text", chat_json(kCommon + kStamp.substr(0, kStamp.size() - 1)),
       ParseError::missing_member},
      {"no message id",
       chat_json(R"("major":2,"minor":0,"type":"CHAT","id":"aaaaaaaa-0000-4000-8000-000000000001",)"
                 R"("sender":"11111111-2222-4333-8444-555555555555",)" +
                 kStamp + text),
       ParseError::missing_member},
      {"type is another name",
       chat_json(with(kCommon, R"("CHAT")", R"("CHAT_ACK")") + kStamp + text),
       ParseError::invalid_value},
      {"major as string",
       chat_json(with(kCommon, R"("major":2)", R"("major":"2")") + kStamp + text),
       ParseError::invalid_value},
      {"minor 65536", chat_json(with(kCommon, R"("minor":0)", R"("minor":65536)") + kStamp + text),
       ParseError::invalid_value},
      {"upper-case id",
       chat_json(kCommon + kStamp + text +
                 R"(,"correlation_id":"AAAAAAAA-0000-4000-8000-000000000001")"),
       ParseError::invalid_value},
      {"text as number", chat_json(kCommon + kStamp + R"("text":5)"), ParseError::invalid_value},
      {"lone surrogate", chat_json(kCommon + kStamp + R"("text":"\udc00")"),
       ParseError::invalid_text_encoding},
      {"invalid UTF-8", chat_json(kCommon + kStamp + "\"text\":\"\xC3\""),
       ParseError::invalid_text_encoding},
      {"bad timestamp", chat_json(kCommon + R"("timestamp":"2023-02-29T23:59:59.999Z",)" + text),
       ParseError::invalid_timestamp},
      {"spaces", chat_json(kCommon + kStamp + R"("text":"   ")"), ParseError::invalid_text},
      {"empty text", chat_json(kCommon + kStamp + R"("text":"")"), ParseError::invalid_text},
      {"escaped NUL decodes to non-whitespace", chat_json(kCommon + kStamp + R"("text":"\u0000")"),
       ParseError::none},
      {"major 1", chat_json(with(kCommon, R"("major":2)", R"("major":1)") + kStamp + text),
       ParseError::unsupported_major},
      {"another sender",
       chat_json(R"("sender":"99999999-2222-4333-8444-555555555555",)" + kStamp + text + "," +
                 R"("major":2,"minor":0,"type":"CHAT","id":"aaaaaaaa-0000-4000-8000-000000000001",)"
                 R"("message_id":"bbbbbbbb-0000-4000-8000-000000000002")"),
       ParseError::unexpected_sender},
  };
  for (const ParseCase& c : cases) {
    const auto result = parse_chat(Frame{FrameKind::chat, c.header, {}}, kSender);
    EXPECT_EQ(result ? ParseError::none : result.error(), c.error) << c.name;
  }
}

TEST(ParseChat, LimitsTheTextAfterUnescaping) {
  // 32768 bytes once unescaped, though the escaped text is longer.
  const std::string full = std::string(32766, 'a') + R"(\u00e9)";
  const std::string over = std::string(32767, 'a') + R"(\u00e9)";
  const auto parse = [](const std::string& raw) {
    return parse_chat(
        Frame{FrameKind::chat, chat_json(kCommon + kStamp + "\"text\":\"" + raw + "\""), {}},
        kSender);
  };
  EXPECT_TRUE(parse(full));
  EXPECT_EQ(parse(over).error(), ParseError::text_too_long);
}

TEST(ParseChat, ChecksKindPayloadAndSender) {
  const Frame chat = *serialize_chat(chat_header());
  EXPECT_EQ(parse_chat(chat, kOther).error(), ParseError::unexpected_sender);
  Frame wrong_kind = chat;
  wrong_kind.type = FrameKind::chat_ack;
  EXPECT_EQ(parse_chat(wrong_kind, kSender).error(), ParseError::invalid_value);
  Frame with_payload = chat;
  with_payload.payload = {1};
  EXPECT_EQ(parse_chat(with_payload, kSender).error(), ParseError::payload_not_empty);

  const Frame ack = *serialize_chat_ack({2, 0, kFrameId, kSender, kFrameId, kMessageId});
  EXPECT_EQ(parse_chat(ack, kSender).error(), ParseError::invalid_value);
  Frame ack_as_chat = ack;  // a kind-1 frame whose header names CHAT_ACK
  ack_as_chat.type = FrameKind::chat;
  EXPECT_EQ(parse_chat(ack_as_chat, kSender).error(), ParseError::invalid_value);
}

TEST(ChatAck, RoundTripsAndNeedsItsCorrelation) {
  const Uuid ack_id = *Uuid::parse("cccccccc-0000-4000-8000-000000000003");
  const auto frame = serialize_chat_ack({2, 0, ack_id, kSender, kFrameId, kMessageId});
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->type, FrameKind::chat_ack);
  EXPECT_EQ(frame->header_utf8,
            R"({"major":2,"minor":0,"type":"CHAT_ACK","id":"cccccccc-0000-4000-8000-000000000003",)"
            R"("sender":"11111111-2222-4333-8444-555555555555",)"
            R"("correlation_id":"aaaaaaaa-0000-4000-8000-000000000001",)"
            R"("message_id":"bbbbbbbb-0000-4000-8000-000000000002"})");
  const auto ack = parse_chat_ack(*frame, kSender);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->id, ack_id);
  EXPECT_EQ(ack->correlation_id, kFrameId);
  EXPECT_EQ(ack->message_id, kMessageId);

  std::string without = frame->header_utf8;
  without.erase(without.find(R"("correlation_id")"), 56);
  EXPECT_EQ(parse_chat_ack(Frame{FrameKind::chat_ack, without, {}}, kSender).error(),
            ParseError::missing_member);
  // Every recognised member is read, whatever the frame: a bad text fails an acknowledgement.
  std::string bad_text = frame->header_utf8;
  bad_text.insert(bad_text.size() - 1, R"(,"text":"\udc00")");
  EXPECT_EQ(parse_chat_ack(Frame{FrameKind::chat_ack, bad_text, {}}, kSender).error(),
            ParseError::invalid_text_encoding);

  for (ChatAckHeader header : {ChatAckHeader{1, 0, ack_id, kSender, kFrameId, kMessageId},
                               ChatAckHeader{2, 0, Uuid(), kSender, kFrameId, kMessageId},
                               ChatAckHeader{2, 0, ack_id, kSender, Uuid(), kMessageId},
                               ChatAckHeader{2, 0, ack_id, kSender, kFrameId, Uuid()}}) {
    EXPECT_FALSE(serialize_chat_ack(header));
  }
}

}  // namespace
