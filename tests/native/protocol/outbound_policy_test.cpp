#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "native/protocol/ve_outbound_policy.h"

namespace {

using velmorine::VEOutboundPolicy;
using namespace std::string_literals;

std::string repeat(const std::string& unit, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

const std::string kGrinning = "\xF0\x9F\x98\x80";  // outside the BMP: 4 bytes, 2 units
const std::string kEAcute = "\xC3\xA9";            // 2 bytes, 1 unit

TEST(VEOutboundPolicy, ValidatesTextByBytesUnitsAndContent) {
  struct Case {
    std::string name;
    std::string text;
    int64_t verdict;
  };
  const std::vector<Case> cases = {
      {"one letter", "a", VEOutboundPolicy::kTextAcceptable},
      {"4095 letters", std::string(4095, 'a'), VEOutboundPolicy::kTextAcceptable},
      {"4096 letters", std::string(4096, 'a'), VEOutboundPolicy::kTextTooLong},
      // 32768 letters are within the byte limit but far above the UTF-16 limit.
      {"32768 letters", std::string(32768, 'a'), VEOutboundPolicy::kTextTooLong},
      {"32769 letters", std::string(32769, 'a'), VEOutboundPolicy::kTextTooLong},
      {"2047 astral", repeat(kGrinning, 2047), VEOutboundPolicy::kTextAcceptable},
      {"4095 astral", repeat(kGrinning, 4095), VEOutboundPolicy::kTextTooLong},
      {"4095 e acute", repeat(kEAcute, 4095), VEOutboundPolicy::kTextAcceptable},
      {"4096 e acute", repeat(kEAcute, 4096), VEOutboundPolicy::kTextTooLong},
      {"NUL", "\0"s, VEOutboundPolicy::kTextAcceptable},
      {"control byte", "\x01", VEOutboundPolicy::kTextAcceptable},
      {"no-break space", "\xC2\xA0", VEOutboundPolicy::kTextInvalid},
      {"whitespace only", " \t\r\n\xE3\x80\x80", VEOutboundPolicy::kTextInvalid},
      {"empty", "", VEOutboundPolicy::kTextInvalid},
      {"malformed", "ok\xC3", VEOutboundPolicy::kTextInvalid},
      {"surrogate", "\xED\xA0\x80", VEOutboundPolicy::kTextInvalid},
      // The byte limit is looked at before the bytes are.
      {"long and malformed", std::string(32769, '\xFF'), VEOutboundPolicy::kTextTooLong},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VEOutboundPolicy::validateText(c.text), c.verdict) << c.name;
}

TEST(VEOutboundPolicy, AllowsEntryCountsWithinTheTransferLimits) {
  struct Case {
    uint64_t entries, top_level;
    bool allowed;
  };
  for (const Case& c : std::vector<Case>{{1, 1, true},
                                         {4096, 1024, true},
                                         {10, 10, true},
                                         {0, 0, false},
                                         {4097, 1, false},
                                         {10, 11, false},
                                         {2000, 1025, false},
                                         {1, 0, false},
                                         {UINT64_MAX, 1, false}}) {
    EXPECT_EQ(VEOutboundPolicy::allowsEntryCount(c.entries, c.top_level), c.allowed)
        << c.entries << "/" << c.top_level;
  }
}

}  // namespace
