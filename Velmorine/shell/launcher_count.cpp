#include "Velmorine/shell/launcher_count.h"

#include <algorithm>

namespace velmorine::shell {

namespace {
constexpr std::int64_t kCap = 1000;
}

std::optional<std::int64_t> launcherCount(const std::map<std::string, std::int64_t>& unread,
                                          bool notificationsEnabled) {
  if (!notificationsEnabled) return std::nullopt;
  std::int64_t total = 0;
  for (const auto& [contact, count] : unread) {
    total = std::min(total + std::clamp<std::int64_t>(count, 0, kCap), kCap);
  }
  if (total == 0) return std::nullopt;
  return total;
}

std::string launcherLabel(std::int64_t count) {
  return count > 999 ? "999+" : std::to_string(count);
}

}  // namespace velmorine::shell
