#include "native/protocol/uuid.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "native/protocol/json_text.h"

namespace {

using velmorine::core::Uuid;
using velmorine::protocol::parse_canonical_uuid;

constexpr const char* kLower = "0123abcd-4567-89ef-a0b1-c2d3e4f5a6b7";
constexpr const char* kUpper = "0123ABCD-4567-89EF-A0B1-C2D3E4F5A6B7";

TEST(Uuid, ParsesEitherCaseAndWritesLowerCase) {
  const auto lower = Uuid::parse(kLower);
  const auto upper = Uuid::parse(kUpper);
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(*lower, *upper);
  EXPECT_EQ(upper->to_string(), kLower);
  EXPECT_EQ(lower->bytes()[0], 0x01);
  EXPECT_EQ(lower->bytes()[15], 0xb7);
}

TEST(Uuid, RefusesMalformedText) {
  for (const char* text : {
           "",
           "0123abcd-4567-89ef-a0b1-c2d3e4f5a6b",    // 35 characters
           "0123abcd-4567-89ef-a0b1-c2d3e4f5a6b70",  // 37
           "0123abcd04567-89ef-a0b1-c2d3e4f5a6b7",   // hyphen missing
           "0123abcd-4567-89ef-a0b1c-2d3e4f5a6b7",   // hyphen misplaced
           "{123abcd-4567-89ef-a0b1-c2d3e4f5a6b7}",  // braces
           "0123abcg-4567-89ef-a0b1-c2d3e4f5a6b7",   // not hexadecimal
           "+123abcd-4567-89ef-a0b1-c2d3e4f5a6b7",
       }) {
    EXPECT_FALSE(Uuid::parse(text)) << text;
  }
}

TEST(Uuid, CanonicalFormIsLowerCaseAndNotNil) {
  EXPECT_TRUE(parse_canonical_uuid(kLower));
  EXPECT_FALSE(parse_canonical_uuid(kUpper));
  EXPECT_FALSE(parse_canonical_uuid("00000000-0000-0000-0000-000000000000"));
  EXPECT_FALSE(parse_canonical_uuid("{0123abcd-4567-89ef-a0b1-c2d3e4f5a6b7}"));
  EXPECT_FALSE(parse_canonical_uuid("0123abcd-456789ef-a0b1-c2d3e4f5a6b7"));
}

TEST(Uuid, RandomIdentifiersAreVersionFourAndDistinct) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 64; ++i) {
    const Uuid uuid = Uuid::random();
    EXPECT_FALSE(uuid.is_nil());
    EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes()[8] & 0xc0, 0x80);
    EXPECT_TRUE(parse_canonical_uuid(uuid.to_string()));
    EXPECT_TRUE(seen.insert(uuid).second);
  }
}

}  // namespace
