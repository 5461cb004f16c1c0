#include "native/protocol/json_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;
using namespace std::string_literals;

struct Utf8Case {
  std::string bytes;
  bool valid;
  bool non_whitespace;
};

TEST(ScanUtf8, FollowsTheStrictRule) {
  const std::vector<Utf8Case> cases = {
      {"", true, false},
      {"\0"s, true, true},  // U+0000 is an ordinary code point
      {"   \xC2\xA0", true, false},
      {"\t\n\r \xE2\x80\xA8\xE3\x80\x80\xE1\x9A\x80", true, false},
      {"\xE2\x80\x8B", true, true},  // zero-width space is not White_Space
      {"a", true, true},
      {"\x01", true, true},
      {"\xC3\xA9", true, true},
      {"\xF0\x9F\x98\x80", true, true},
      {"\xF4\x8F\xBF\xBF", true, true},  // U+10FFFF
      {"\xC0\x80", false, false},        // overlong NUL
      {"\xC1\xBF", false, false},
      {"\xE0\x9F\xBF", false, false},      // overlong 3-byte
      {"\xF0\x8F\xBF\xBF", false, false},  // overlong 4-byte
      {"\xED\xA0\x80", false, false},      // surrogate
      {"\xF4\x90\x80\x80", false, false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false, false},
      {"\x80", false, false},
      {"a\xC3", false, false},  // cut off
      {"\xE2\x82", false, false},
      {"\xC3\x28", false, false},  // bad continuation
      {"\xFF", false, false},
      // Long ASCII runs around other sequences.
      {"abcdefghijklmnop\xC3", false, false},
      {"x                \xC0\x80", false, false},
      {"abcdefghij\xC3\xA9klmnopqrstuvwxyz", true, true},
      {"                \xC2\xA0                ", true, false},
      {"                \xC2\xA0               z", true, true},
  };
  for (const auto& c : cases) {
    const Utf8Scan scan = scan_utf8(c.bytes);
    EXPECT_EQ(scan.valid, c.valid) << testing::PrintToString(c.bytes);
    if (c.valid) {
      EXPECT_EQ(scan.contains_non_whitespace, c.non_whitespace);
    }
  }
}

TEST(EscapeJsonString, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(escape_json_string("\t\"\x01/"), R"(\t\"\u0001/)");
  EXPECT_EQ(escape_json_string("\b\f\n\r\\"), R"(\b\f\n\r\\)");
  EXPECT_EQ(escape_json_string("\x1f\x7f"), "\\u001f\x7f");
  EXPECT_EQ(escape_json_string("\0"s), R"(\u0000)");
  EXPECT_EQ(escape_json_string("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_FALSE(escape_json_string("\xC0\x80"));
}

TEST(UnescapeJsonString, DecodesEscapesAndRefusesBadOnes) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {R"(plain)", "plain"},
      {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
      {R"(\u00e9)", "\xC3\xA9"},
      {R"(\u00E9)", "\xC3\xA9"},
      {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
      {R"(\u0000)", "\0"s},
      {R"(\u20ac!)", "\xE2\x82\xAC!"},
      {R"(\ude00)", std::nullopt},        // lone low surrogate
      {R"(\ud83dx)", std::nullopt},       // high surrogate then a letter
      {R"(\ud83d\u0041)", std::nullopt},  // high surrogate then no low one
      {R"(\ud83d)", std::nullopt},
      {R"(\ud83d\ude0)", std::nullopt},
      {R"(\x41)", std::nullopt},
      {R"(\u12)", std::nullopt},
      {R"(\u12g4)", std::nullopt},
      {"tail\\", std::nullopt},
      {"\xC3", std::nullopt},  // raw bytes must still be valid UTF-8
  };
  for (const auto& [raw, expected] : cases) {
    EXPECT_EQ(unescape_json_string(raw), expected) << raw;
  }
}

TEST(EscapeJsonString, RoundTripsThroughUnescape) {
  const std::string text = "a\"b\\c\x01\x1f\t\n/\xE2\x82\xAC\0z"s;
  const auto escaped = escape_json_string(text);
  ASSERT_TRUE(escaped);
  EXPECT_EQ(unescape_json_string(*escaped), text);
}

std::expected<int32_t, JsonTokenizeError> tokenize(std::string_view text, size_t capacity = 64) {
  std::vector<JsonToken> tokens(capacity);
  return tokenize_json(text, tokens);
}

TEST(TokenizeJson, AcceptsAndRefusesByTheStrictGrammar) {
  struct Case {
    std::string text;
    std::optional<JsonTokenizeError> error;  // nullopt: accepted
  };
  const std::vector<Case> cases = {
      {R"({"a":1})", std::nullopt},
      {R"({"a":[1,2,{"b":null}],"c":"d"})", std::nullopt},
      {" {\"a\":true} ", std::nullopt},
      {R"({"a":truex})", std::nullopt},  // primitives are not examined
      {R"({"a":"\u00e9\n"})", std::nullopt},
      {"{\"a\":\"\x01\"}", std::nullopt},  // raw control bytes pass here
      {R"({1:2})", JsonTokenizeError::invalid},
      {R"({{}:1})", JsonTokenizeError::invalid},
      {R"({[]:1})", JsonTokenizeError::invalid},
      {R"({"a":1}})", JsonTokenizeError::invalid},
      {R"({"a":1])", JsonTokenizeError::invalid},
      {R"({"a":\x})", JsonTokenizeError::invalid},
      {R"({"a":"\x"})", JsonTokenizeError::invalid},
      {R"({"a":"\u12g4"})", JsonTokenizeError::invalid},
      {R"({"a":1 2})", JsonTokenizeError::invalid},  // a key already holding a value
      {R"({"a":'b'})", JsonTokenizeError::invalid},
      {"{\"a\":\"b\0\"}"s, JsonTokenizeError::invalid},  // NUL inside a string
      {"{\"a\":t\x7f}", JsonTokenizeError::invalid},
      {"1", JsonTokenizeError::partial},  // a primitive at the very end
      {R"({"a":1)", JsonTokenizeError::partial},
      {R"({"a":"b)", JsonTokenizeError::partial},
      {R"({"a":"\u12)", JsonTokenizeError::partial},
      {"{\"a\":1}\0garbage"s, std::nullopt},  // a NUL ends the text
  };
  for (const auto& c : cases) {
    const auto result = tokenize(c.text);
    if (c.error) {
      ASSERT_FALSE(result) << c.text;
      EXPECT_EQ(result.error(), *c.error) << c.text;
    } else {
      EXPECT_TRUE(result) << c.text;
    }
  }
}

// Long strings are scanned several bytes at a time; whatever ends or breaks a string must be
// seen at every position in it.
TEST(TokenizeJson, FindsWhatEndsOrBreaksALongStringAtAnyOffset) {
  for (size_t offset = 0; offset < 20; ++offset) {
    const std::string before(offset, 'x');
    const std::string after(11, 'y');
    const std::string head = "{\"a\":\"" + before;
    std::vector<JsonToken> tokens(64);

    const std::string ended = head + "\"," + R"("b":")" + after + "\"}";
    ASSERT_EQ(tokenize_json(ended, tokens), 5) << offset;
    EXPECT_EQ(token_text(ended, tokens[2]), before) << offset;

    const std::string escaped = head + R"(\")" + after + "\"}";
    ASSERT_EQ(tokenize_json(escaped, tokens), 3) << offset;
    EXPECT_EQ(token_text(escaped, tokens[2]), before + R"(\")" + after) << offset;

    for (const std::string& broken : {"\0"s, R"(\q)"s}) {
      const auto result = tokenize(head + broken + after + "\"}");
      ASSERT_FALSE(result) << offset;
      EXPECT_EQ(result.error(), JsonTokenizeError::invalid) << offset;
    }
    const auto unterminated = tokenize(head + after);
    ASSERT_FALSE(unterminated) << offset;
    EXPECT_EQ(unterminated.error(), JsonTokenizeError::partial) << offset;
  }
}

TEST(TokenizeJson, RecordsOffsetsSizesAndParents) {
  const std::string text = R"({"k":[1,"s"],"o":{"x":null}})";
  std::vector<JsonToken> tokens(text.size() + 1);
  const auto count = tokenize_json(text, tokens);
  ASSERT_EQ(count, 9);
  struct Expected {
    int32_t type, parent, size;
    std::string raw;
  };
  const std::vector<Expected> expected = {
      {JsonTokenType::object, -1, 2, text},
      {JsonTokenType::string, 0, 1, "k"},
      {JsonTokenType::array, 1, 2, R"([1,"s"])"},
      {JsonTokenType::primitive, 2, 0, "1"},
      {JsonTokenType::string, 2, 0, "s"},
      {JsonTokenType::string, 0, 1, "o"},
      {JsonTokenType::object, 5, 1, R"({"x":null})"},
      {JsonTokenType::string, 6, 1, "x"},
      {JsonTokenType::primitive, 7, 0, "null"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(tokens[i].type, expected[i].type) << i;
    EXPECT_EQ(tokens[i].parent, expected[i].parent) << i;
    EXPECT_EQ(tokens[i].size, expected[i].size) << i;
    EXPECT_EQ(token_text(text, tokens[i]), expected[i].raw) << i;
  }
}

TEST(TokenizeJson, ReportsRunningOutOfTokens) {
  EXPECT_EQ(tokenize(R"({"a":1,"b":2})", 5), 5);
  const auto short_array = tokenize(R"({"a":1,"b":2})", 4);
  ASSERT_FALSE(short_array);
  EXPECT_EQ(short_array.error(), JsonTokenizeError::out_of_tokens);
  EXPECT_EQ(tokenize("", 0), 0);
}

TEST(CanonicalDecimal, AcceptsOnlyCanonicalDigitsWithinTheWidth) {
  const std::vector<std::pair<std::string, std::optional<uint16_t>>> u16 = {
      {"0", 0},
      {"65535", 65535},
      {"7", 7},
      {"00", std::nullopt},
      {"01", std::nullopt},
      {"65536", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"", std::nullopt},
      {" 1", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& [text, value] : u16) EXPECT_EQ(parse_decimal_u16(text), value) << text;

  EXPECT_EQ(parse_decimal_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(parse_decimal_u64("18446744073709551616"));
  EXPECT_FALSE(parse_decimal_u64("28446744073709551615"));
  EXPECT_EQ(parse_decimal_u64("0"), 0u);
  EXPECT_FALSE(parse_decimal_u64("007"));
}

TEST(ParseHex4, NeedsExactlyFourDigits) {
  EXPECT_EQ(parse_hex4("00e9"), 0xe9);
  EXPECT_EQ(parse_hex4("FFFF"), 0xffff);
  EXPECT_FALSE(parse_hex4("123"));
  EXPECT_FALSE(parse_hex4("12345"));
  EXPECT_FALSE(parse_hex4("12g4"));
}

TEST(ScanFlatObject, ListsTopLevelMembersInTextOrder) {
  const std::string text = R"({"b":{"x":{"y":[1,2]}},"a":"t","n":12,"z":[{"q":1}]})";
  const auto object = scan_flat_object(text, text.size() + 1);
  ASSERT_TRUE(object);
  std::vector<std::string_view> keys;
  for (const auto& member : object->members) keys.push_back(member.key);
  EXPECT_EQ(keys, (std::vector<std::string_view>{"b", "a", "n", "z"}));
  const FlatMember* a = object->find("a");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(object->is_string(a->value));
  EXPECT_EQ(object->raw(a->value), "t");
  EXPECT_TRUE(object->is_primitive(object->find("n")->value));
  EXPECT_EQ(object->find("q"), nullptr);  // nested keys are not members
  EXPECT_EQ(object->find("x"), nullptr);
}

TEST(ScanFlatObject, RefusesMalformedAndRepeatedKeys) {
  const std::vector<std::pair<std::string, FlatScanError>> cases = {
      {"", FlatScanError::malformed},
      {R"([1])", FlatScanError::malformed},
      {R"( {"a":1})", FlatScanError::malformed},
      {R"({"a":1} )", FlatScanError::malformed},
      {R"({"a":1}{"b":2})", FlatScanError::malformed},
      {R"({"a\"":1})", FlatScanError::malformed},
      {R"({"a":1,"b"})", FlatScanError::malformed},  // key without a value
      {R"({"a" "b"})", FlatScanError::malformed},
      {R"({"a":})", FlatScanError::malformed},
      {R"({"a":1,"a":2})", FlatScanError::duplicate},
      {R"({"a":1,"b":{"c":1},"a":{}})", FlatScanError::duplicate},
  };
  for (const auto& [text, error] : cases) {
    const auto object = scan_flat_object(text, text.size() + 1);
    ASSERT_FALSE(object) << text;
    EXPECT_EQ(object.error(), error) << text;
  }
  // A repeated key inside a nested value is not the flat scan's concern.
  const std::string nested = R"({"a":{"c":1,"c":2}})";
  EXPECT_TRUE(scan_flat_object(nested, nested.size() + 1));
  // Too few tokens for the text is a malformed header.
  const std::string text = R"({"a":1,"b":2})";
  EXPECT_FALSE(scan_flat_object(text, 3));
}

}  // namespace
