#pragma once

#include <chrono>
#include <compare>

namespace velmorine::store {

// A wall-clock time as the store keeps it: seconds, with fraction, since 2001-01-01 00:00:00 UTC.
// The count is kept as it was read, so a time survives a read and write bit for bit.
struct Date {
  double timeIntervalSinceReferenceDate = 0;

  // 2001-01-01 00:00:00 UTC in seconds since 1970-01-01 00:00:00 UTC.
  static constexpr double kReferenceDateInUnixSeconds = 978307200;

  static Date fromSystemTime(std::chrono::system_clock::time_point time) {
    const std::chrono::duration<double> since_epoch = time.time_since_epoch();
    return Date{since_epoch.count() - kReferenceDateInUnixSeconds};
  }
  std::chrono::system_clock::time_point systemTime() const {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(timeIntervalSinceReferenceDate +
                                          kReferenceDateInUnixSeconds)));
  }

  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace velmorine::store
