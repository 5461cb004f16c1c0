#pragma once

// The UTC timestamp text that CHAT carries: "YYYY-MM-DDTHH:MM:SS.mmmZ", exactly 24 characters,
// years 0001 to 9999.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::protocol {

using UtcMicroseconds = std::chrono::sys_time<std::chrono::microseconds>;

// Truncated to the millisecond toward the past; nothing outside years 1 to 9999.
std::optional<std::string> format_utc_timestamp(UtcMicroseconds time);

std::optional<UtcMicroseconds> parse_utc_timestamp(std::string_view text);

}  // namespace velmorine::protocol
