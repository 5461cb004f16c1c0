#pragma once

// The rules every grant must pass, whether the service issued it or a peer handed it over.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::reminders {

using network::ReminderGrant;

// A grant is given for at most 31 days.
inline constexpr double kMaximumGrantLifetime = 2678400;
// At most this many grants are kept in each direction.
inline constexpr size_t kMaximumGrants = 200;
// The length of a grant's bearer and of the device's owner token.
inline constexpr size_t kTokenLength = 43;

// The route is lower-case UUID text, the bearer 43 characters of the URL-safe Base64 alphabet,
// and the expiry after `now` (seconds since 1970) and at most 31 days ahead.
bool isValidGrant(const ReminderGrant& grant, double now);

// 36 characters, 8-4-4-4-12 hexadecimal digits of either case separated by "-".
bool isUuidText(std::string_view text);

// A grant's route: UUID text in lower case.
bool isRouteText(std::string_view text);

// The bytes as lower-case hexadecimal, two digits each, no separators.
std::string hexEncoded(std::span<const uint8_t> bytes);

}  // namespace velmorine::reminders
