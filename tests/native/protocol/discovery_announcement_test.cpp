#include "native/protocol/discovery_announcement.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace velmorine::protocol {
namespace {

const std::string kPeerId = "5f0c1d2e-3a4b-4c5d-8e6f-708192a3b4c5";
const std::string kLocalId = "0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3";
const std::string kFingerprint(64, 'a');
const std::string kNonce = std::string(32, '0') + std::string(32, 'f');

core::Uuid local_id() { return *core::Uuid::parse(kLocalId); }

std::span<const uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// An announcement's members as raw JSON values, in order, so a case can replace, drop or add
// one member and keep the rest valid.
using Members = std::vector<std::pair<std::string, std::string>>;

Members valid_members() {
  return {{"magic", "\"VELMORINE_DISCOVERY\""},
          {"wire_major", "2"},
          {"wire_minor", "0"},
          {"device_id", "\"" + kPeerId + "\""},
          {"display_name", "\"Kitchen laptop\""},
          {"tcp_port", "50123"},
          {"secure_channel", "\"velsecure-v1\""},
          {"public_key_fingerprint", "\"" + kFingerprint + "\""},
          {"process_nonce", "\"" + kNonce + "\""},
          {"capabilities", "15"},
          {"sequence", "7"},
          {"platform", "\"linux\""}};
}

std::string json_of(const Members& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ',';
    out += "\"" + key + "\":" + value;
  }
  return out + "}";
}

Members with(std::string key, std::string value) {
  auto members = valid_members();
  for (auto& member : members) {
    if (member.first == key) {
      member.second = std::move(value);
      return members;
    }
  }
  members.emplace_back(std::move(key), std::move(value));
  return members;
}

Members without(const std::string& key) {
  auto members = valid_members();
  std::erase_if(members, [&](const auto& member) { return member.first == key; });
  return members;
}

DiscoveryAnnouncement valid_record() {
  DiscoveryAnnouncement a;
  a.wire_major = 2;
  a.wire_minor = 0;
  a.device_id = *core::Uuid::parse(kPeerId);
  a.display_name_utf8 = "Kitchen laptop";
  a.tcp_port = 50123;
  a.secure_channel = "velsecure-v1";
  a.public_key_fingerprint = kFingerprint;
  a.process_nonce = kNonce;
  a.capabilities = 15;
  a.sequence = 7;
  a.platform = kPlatformLinux;
  return a;
}

TEST(DiscoveryAnnouncement, WriterProducesTheExactCompactText) {
  const auto text = serialize_discovery(valid_record());
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, json_of(valid_members()));
}

TEST(DiscoveryAnnouncement, ValidTextIsReadIntoTheRecord) {
  const auto text = json_of(valid_members());
  const auto result = parse_discovery(bytes_of(text), local_id());
  ASSERT_EQ(result.status, DiscoveryStatus::accepted);
  EXPECT_EQ(*result.announcement, valid_record());
  EXPECT_EQ(result.wire_major, 2);
}

TEST(DiscoveryAnnouncement, RoundTripKeepsEscapedNamesAndEveryPlatform) {
  for (const std::string name : {"quote \" and backslash \\", "Ünïcødé 😀 name", "/slash/"}) {
    for (int32_t platform = 0; platform <= 5; ++platform) {
      auto record = valid_record();
      record.display_name_utf8 = name;
      record.platform = platform;
      const auto text = serialize_discovery(record);
      ASSERT_TRUE(text) << name;
      const auto result = parse_discovery(bytes_of(*text), local_id());
      ASSERT_EQ(result.status, DiscoveryStatus::accepted) << *text;
      EXPECT_EQ(*result.announcement, record);
    }
  }
}

struct ParseCase {
  std::string label;
  std::string text;
  DiscoveryStatus status;
  std::optional<uint16_t> wire_major = std::nullopt;
};

std::string display_name_of_code_points(size_t count) {
  std::string name;
  for (size_t i = 0; i < count; ++i) name += "\xC3\xA9";  // é
  return "\"" + name + "\"";
}

std::string array_of(int elements) {
  std::string value = "[";
  for (int i = 0; i < elements; ++i) value += i ? ",1" : "1";
  return value + "]";
}

// `depth` arrays around a number: as a top-level member's value its number has depth + 2
// ancestors (the arrays, the key and the object).
std::string nested(int depth) {
  std::string value;
  for (int i = 0; i < depth; ++i) value += "[";
  value += "1";
  for (int i = 0; i < depth; ++i) value += "]";
  return value;
}

std::vector<ParseCase> parse_cases() {
  const auto valid = json_of(valid_members());
  std::vector<ParseCase> cases = {
      {"empty", "", DiscoveryStatus::empty},
      {"space before", " " + valid, DiscoveryStatus::malformed},
      {"space after", valid + " ", DiscoveryStatus::malformed},
      {"invalid utf8", json_of(with("display_name", "\"a\xC0\x80\"")), DiscoveryStatus::not_utf8},
      {"array at top", "[" + valid + "]", DiscoveryStatus::malformed},
      {"unclosed", valid.substr(0, valid.size() - 1), DiscoveryStatus::malformed},
      {"key without value", "{\"magic\"}", DiscoveryStatus::malformed},
      {"number as key", "{1:2}", DiscoveryStatus::malformed},
      {"NUL inside", valid.substr(0, 10) + std::string(1, '\0') + valid.substr(10),
       DiscoveryStatus::malformed},
      {"bad escape in key", json_of(with("ke\\y", "1")), DiscoveryStatus::malformed},
      {"lone low surrogate key", json_of(with("\\udc00", "1")), DiscoveryStatus::malformed},
      // 25 tokens of the announcement, the key, the array and its elements.
      {"256 tokens", json_of(with("extra", array_of(256 - 27))), DiscoveryStatus::accepted},
      {"257 tokens", json_of(with("extra", array_of(257 - 27))), DiscoveryStatus::too_complex},
      {"16 ancestors", json_of(with("extra", nested(14))), DiscoveryStatus::accepted},
      {"17 ancestors", json_of(with("extra", nested(15))), DiscoveryStatus::too_complex},
      {"repeated key", json_of(with("sequence", "7,\"sequence\":7")),
       DiscoveryStatus::duplicate_key},
      {"repeated key in skipped object", json_of(with("extra", "{\"a\":1,\"a\":2}")),
       DiscoveryStatus::duplicate_key},
      {"repeated key spelled by escape", json_of(with("extra", "{\"a\":1,\"\\u0061\":2}")),
       DiscoveryStatus::duplicate_key},
      {"unknown nested key skipped", json_of(with("extra", "{\"x\":[1,{\"y\":\"z\"}]}")),
       DiscoveryStatus::accepted},
      {"empty object", "{}", DiscoveryStatus::missing_key},
      {"platform may be missing", json_of(without("platform")), DiscoveryStatus::accepted},
      {"wrong magic", json_of(with("magic", "\"VELMORINE_DISCOVERY2\"")),
       DiscoveryStatus::invalid_value},
      {"major as fraction", json_of(with("wire_major", "2.0")), DiscoveryStatus::invalid_value},
      {"major 65536", json_of(with("wire_major", "65536")), DiscoveryStatus::invalid_value},
      {"port as string", json_of(with("tcp_port", "\"50123\"")), DiscoveryStatus::invalid_value},
      {"port 0", json_of(with("tcp_port", "0")), DiscoveryStatus::invalid_value},
      {"port 65536", json_of(with("tcp_port", "65536")), DiscoveryStatus::invalid_value},
      {"sequence leading zero", json_of(with("sequence", "07")), DiscoveryStatus::invalid_value},
      {"sequence negative", json_of(with("sequence", "-7")), DiscoveryStatus::invalid_value},
      {"sequence exponent", json_of(with("sequence", "7e0")), DiscoveryStatus::invalid_value},
      {"sequence true", json_of(with("sequence", "true")), DiscoveryStatus::invalid_value},
      {"sequence 2^53-1", json_of(with("sequence", "9007199254740991")), DiscoveryStatus::accepted},
      {"sequence 2^53", json_of(with("sequence", "9007199254740992")),
       DiscoveryStatus::invalid_value},
      {"capabilities 2^32-1", json_of(with("capabilities", "4294967295")),
       DiscoveryStatus::accepted},
      {"capabilities 2^32", json_of(with("capabilities", "4294967296")),
       DiscoveryStatus::invalid_value},
      {"capabilities as object", json_of(with("capabilities", "{}")),
       DiscoveryStatus::invalid_value},
      {"device id upper case",
       json_of(with("device_id", "\"5F0C1D2E-3A4B-4C5D-8E6F-708192A3B4C5\"")),
       DiscoveryStatus::invalid_value},
      {"device id nil", json_of(with("device_id", "\"00000000-0000-0000-0000-000000000000\"")),
       DiscoveryStatus::invalid_value},
      {"device id number", json_of(with("device_id", "5")), DiscoveryStatus::invalid_value},
      {"name 128 code points", json_of(with("display_name", display_name_of_code_points(128))),
       DiscoveryStatus::accepted},
      {"name 129 code points", json_of(with("display_name", display_name_of_code_points(129))),
       DiscoveryStatus::invalid_value},
      {"name empty", json_of(with("display_name", "\"\"")), DiscoveryStatus::invalid_value},
      {"name escaped line feed", json_of(with("display_name", "\"a\\nb\"")),
       DiscoveryStatus::invalid_value},
      {"name escaped NUL", json_of(with("display_name", "\"a\\u0000b\"")),
       DiscoveryStatus::invalid_value},
      {"name C1 control", json_of(with("display_name", "\"a\xC2\x85\"")),
       DiscoveryStatus::invalid_value},
      {"name DEL", json_of(with("display_name", "\"a\x7F\"")), DiscoveryStatus::invalid_value},
      {"name surrogate pair", json_of(with("display_name", "\"\\ud83d\\ude00\"")),
       DiscoveryStatus::accepted},
      {"name lone low surrogate", json_of(with("display_name", "\"\\ude00\"")),
       DiscoveryStatus::invalid_value},
      {"fingerprint upper case",
       json_of(with("public_key_fingerprint", "\"" + std::string(64, 'A') + "\"")),
       DiscoveryStatus::invalid_value},
      {"nonce 63 digits", json_of(with("process_nonce", "\"" + std::string(63, '1') + "\"")),
       DiscoveryStatus::invalid_value},
      {"platform with digit", json_of(with("platform", "\"linux2\"")),
       DiscoveryStatus::invalid_value},
      {"platform upper case", json_of(with("platform", "\"Linux\"")),
       DiscoveryStatus::invalid_value},
      {"platform unknown name", json_of(with("platform", "\"beos\"")), DiscoveryStatus::accepted},
      {"channel 33 bytes", json_of(with("secure_channel", "\"" + std::string(33, 'c') + "\"")),
       DiscoveryStatus::invalid_value},
      {"channel other", json_of(with("secure_channel", "\"velsecure-v2\"")),
       DiscoveryStatus::incompatible_channel},
      {"missing sequence", json_of(without("sequence")), DiscoveryStatus::missing_key},
      {"missing magic", json_of(without("magic")), DiscoveryStatus::missing_key},
      {"minor 1", json_of(with("wire_minor", "1")), DiscoveryStatus::incompatible_version, 2},
      {"major 3", json_of(with("wire_major", "3")), DiscoveryStatus::incompatible_version, 3},
      {"own device", json_of(with("device_id", "\"" + kLocalId + "\"")),
       DiscoveryStatus::own_device},
  };
  return cases;
}

TEST(DiscoveryAnnouncement, ReaderRefusesEachFaultWithItsStatus) {
  for (const auto& c : parse_cases()) {
    const auto result = parse_discovery(bytes_of(c.text), local_id());
    EXPECT_EQ(static_cast<int>(result.status), static_cast<int>(c.status)) << c.label;
    EXPECT_EQ(result.announcement.has_value(), c.status == DiscoveryStatus::accepted) << c.label;
    if (c.status == DiscoveryStatus::accepted) {
      EXPECT_EQ(result.wire_major, 2) << c.label;
    } else if (c.status == DiscoveryStatus::incompatible_version) {
      EXPECT_EQ(result.wire_major, c.wire_major) << c.label;
    } else {
      EXPECT_FALSE(result.wire_major) << c.label;
    }
  }
}

TEST(DiscoveryAnnouncement, PlatformNamesMapToNumbers) {
  const std::vector<std::pair<std::string, int32_t>> names = {
      {"windows", 1}, {"linux", 2},   {"ios", 3}, {"android", 4},
      {"macos", 5},   {"unknown", 0}, {"plan", 0}};
  for (const auto& [name, number] : names) {
    const auto text = json_of(with("platform", "\"" + name + "\""));
    const auto result = parse_discovery(bytes_of(text), local_id());
    ASSERT_EQ(result.status, DiscoveryStatus::accepted) << name;
    EXPECT_EQ(result.announcement->platform, number) << name;
  }
  const auto missing = json_of(without("platform"));
  EXPECT_EQ(parse_discovery(bytes_of(missing), local_id()).announcement->platform, 0);
}

TEST(DiscoveryAnnouncement, DatagramSizeLimitIsExactly8192Bytes) {
  // Pad with an unknown member so the text is exactly the size wanted.
  auto sized = [](size_t size) {
    auto members = valid_members();
    members.emplace_back("pad", "\"\"");
    const size_t base = json_of(members).size();
    members.back().second = "\"" + std::string(size - base, 'p') + "\"";
    return json_of(members);
  };
  const auto at_limit = sized(8192);
  ASSERT_EQ(at_limit.size(), 8192u);
  EXPECT_EQ(parse_discovery(bytes_of(at_limit), local_id()).status, DiscoveryStatus::accepted);
  const auto over = sized(8193);
  EXPECT_EQ(parse_discovery(bytes_of(over), local_id()).status, DiscoveryStatus::too_long);
}

TEST(DiscoveryAnnouncement, WriterRefusesUnwritableRecords) {
  struct Case {
    std::string label;
    void (*spoil)(DiscoveryAnnouncement&);
  };
  const std::vector<Case> cases = {
      {"port 0", [](DiscoveryAnnouncement& a) { a.tcp_port = 0; }},
      {"fingerprint upper case",
       [](DiscoveryAnnouncement& a) { a.public_key_fingerprint[0] = 'A'; }},
      {"nonce short", [](DiscoveryAnnouncement& a) { a.process_nonce.pop_back(); }},
      {"sequence 2^53", [](DiscoveryAnnouncement& a) { a.sequence = uint64_t{1} << 53; }},
      {"wire major 3", [](DiscoveryAnnouncement& a) { a.wire_major = 3; }},
      {"wire minor 1", [](DiscoveryAnnouncement& a) { a.wire_minor = 1; }},
      {"other channel", [](DiscoveryAnnouncement& a) { a.secure_channel = "velsecure-v2"; }},
      {"nil device", [](DiscoveryAnnouncement& a) { a.device_id = core::Uuid(); }},
      {"empty name", [](DiscoveryAnnouncement& a) { a.display_name_utf8.clear(); }},
      {"control in name", [](DiscoveryAnnouncement& a) { a.display_name_utf8 = "a\tb"; }},
      {"invalid utf8 name", [](DiscoveryAnnouncement& a) { a.display_name_utf8 = "a\xFF"; }},
      {"513-byte name",
       [](DiscoveryAnnouncement& a) { a.display_name_utf8 = std::string(513, 'n'); }},
      {"platform 6", [](DiscoveryAnnouncement& a) { a.platform = 6; }},
      {"platform -1", [](DiscoveryAnnouncement& a) { a.platform = -1; }},
  };
  for (const auto& c : cases) {
    auto record = valid_record();
    c.spoil(record);
    EXPECT_FALSE(serialize_discovery(record)) << c.label;
  }
  auto largest = valid_record();
  largest.sequence = (uint64_t{1} << 53) - 1;
  EXPECT_TRUE(serialize_discovery(largest));
}

TEST(DiscoveryAnnouncement, CompatibilityNeedsMajor2AndTheExactChannelName) {
  EXPECT_TRUE(is_discovery_compatible(2, "velsecure-v1"));
  EXPECT_FALSE(is_discovery_compatible(3, "velsecure-v1"));
  EXPECT_FALSE(is_discovery_compatible(2, "velsecure-v1 "));
  EXPECT_FALSE(is_discovery_compatible(2, std::string_view("velsecure-v1\0", 13)));
}

}  // namespace
}  // namespace velmorine::protocol
