#include "native/protocol/utc_timestamp.h"

#include <array>
#include <cstdio>

namespace velmorine::protocol {
namespace {

using namespace std::chrono;

constexpr size_t kTimestampLength = 24;

// The digits of text[offset, offset + count) as a number, or -1 if any is not a digit.
int digits(std::string_view text, size_t offset, size_t count) {
  int value = 0;
  for (size_t i = offset; i < offset + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<std::string> format_utc_timestamp(UtcMicroseconds time) {
  const auto ms = floor<milliseconds>(time);
  const auto day = floor<days>(ms);
  // Checked on the day count: the calendar's year type cannot hold far-off years.
  constexpr sys_days kFirstDay{year{1} / January / 1};
  constexpr sys_days kLastDay{year{9999} / December / 31};
  if (day < kFirstDay || day > kLastDay) return std::nullopt;
  const year_month_day date{day};
  const int year_value = static_cast<int>(date.year());
  const hh_mm_ss<milliseconds> clock_time{ms - day};

  std::array<char, 32> buffer{};
  const int written =
      std::snprintf(buffer.data(), buffer.size(), "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ", year_value,
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    static_cast<unsigned>(clock_time.hours().count()),
                    static_cast<unsigned>(clock_time.minutes().count()),
                    static_cast<unsigned>(clock_time.seconds().count()),
                    static_cast<unsigned>(clock_time.subseconds().count()));
  if (written != static_cast<int>(kTimestampLength)) return std::nullopt;
  return std::string(buffer.data(), kTimestampLength);
}

std::optional<UtcMicroseconds> parse_utc_timestamp(std::string_view text) {
  if (text.size() != kTimestampLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != '.' || text[23] != 'Z') {
    return std::nullopt;
  }
  const int year_value = digits(text, 0, 4);
  const int month_value = digits(text, 5, 2);
  const int day_value = digits(text, 8, 2);
  const int hour = digits(text, 11, 2);
  const int minute = digits(text, 14, 2);
  const int second = digits(text, 17, 2);
  const int millisecond = digits(text, 20, 3);
  if (year_value < 1 || month_value < 0 || day_value < 0 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || millisecond < 0) {
    return std::nullopt;
  }
  const year_month_day date{year{year_value}, month{static_cast<unsigned>(month_value)},
                            day{static_cast<unsigned>(day_value)}};
  if (!date.ok()) return std::nullopt;  // month 1-12, day within the month, Gregorian leap years
  return UtcMicroseconds{sys_days{date}} + hours{hour} + minutes{minute} + seconds{second} +
         milliseconds{millisecond};
}

}  // namespace velmorine::protocol
