#include "native/protocol/utc_timestamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmorine::protocol;
using std::chrono::microseconds;

UtcMicroseconds at(int64_t us) { return UtcMicroseconds{microseconds{us}}; }

TEST(FormatUtcTimestamp, WritesMillisecondsTowardThePast) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "1970-01-01T00:00:00.000Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
      {999, "1970-01-01T00:00:00.000Z"},
      {1000, "1970-01-01T00:00:00.001Z"},
      {1709251199999000, "2024-02-29T23:59:59.999Z"},
      {-62135596800000000, "0001-01-01T00:00:00.000Z"},
      {253402300799999999, "9999-12-31T23:59:59.999Z"},
  };
  for (const auto& [us, text] : cases) EXPECT_EQ(format_utc_timestamp(at(us)), text) << us;
}

TEST(FormatUtcTimestamp, RefusesYearsOutsideOneToNineThousandNineHundredNinetyNine) {
  for (int64_t us :
       {int64_t{253402300800000000}, int64_t{-62135596800000001}, INT64_MAX, INT64_MIN}) {
    EXPECT_FALSE(format_utc_timestamp(at(us))) << us;
  }
}

TEST(ParseUtcTimestamp, AcceptsValidCalendarTimes) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"2024-02-29T23:59:59.999Z", 1709251199999000},
      {"2000-02-29T00:00:00.000Z", 951782400000000},
      {"1970-01-01T00:00:00.000Z", 0},
      {"0001-01-01T00:00:00.000Z", -62135596800000000},
  };
  for (const auto& [text, us] : cases) {
    const auto parsed = parse_utc_timestamp(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->time_since_epoch().count(), us) << text;
    EXPECT_EQ(format_utc_timestamp(*parsed), text);
  }
}

TEST(ParseUtcTimestamp, RefusesAnythingElse) {
  for (const char* text : {
           "2023-02-29T23:59:59.999Z",  // not a leap year
           "1900-02-29T23:59:59.999Z",  // century
           "2024-02-29T24:00:00.000Z",      "2024-02-29T23:60:00.000Z",
           "2024-02-29T23:59:60.000Z",  // no leap second
           "2024-02-29t23:59:59.999Z",      "2024-02-29T23:59:59.999z",
           "2024-02-29T23:59:59.999+01:00", "2024-02-29T23:59:59.99+Z",
           "+024-02-29T23:59:59.999Z",      "2024-0+-29T23:59:59.999Z",
           "0000-01-01T00:00:00.000Z",      "2024-13-01T00:00:00.000Z",
           "2024-00-01T00:00:00.000Z",      "2024-04-31T00:00:00.000Z",
           "2024-04-00T00:00:00.000Z",      "2024-04-01 00:00:00.000Z",
           "2024-04-01T00:00:00.000",       "",
       }) {
    EXPECT_FALSE(parse_utc_timestamp(text)) << text;
  }
}

}  // namespace
