#pragma once

// The unread count on the launcher icon: the sum of the unread counts while notifications are
// on, each count clamped to 0..1000 and the running total capped at 1000; none for no badge.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace velmorine::shell {

std::optional<std::int64_t> launcherCount(const std::map<std::string, std::int64_t>& unread,
                                          bool notificationsEnabled);

// The badge's text for a count: "999+" above 999.
std::string launcherLabel(std::int64_t count);

}  // namespace velmorine::shell
