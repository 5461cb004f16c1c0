#include "Velmorine/reminders/reminder_grant.h"

#include "native/protocol/uuid.h"

namespace velmorine::reminders {

namespace {

bool isBearerCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

}  // namespace

bool isUuidText(std::string_view text) { return core::Uuid::parse(text).has_value(); }

bool isRouteText(std::string_view text) {
  const auto route = core::Uuid::parse(text);
  return route && route->to_string() == text;
}

bool isValidGrant(const ReminderGrant& grant, double now) {
  if (!isRouteText(grant.route)) return false;
  if (grant.bearer.size() != kTokenLength) return false;
  for (const char c : grant.bearer) {
    if (!isBearerCharacter(c)) return false;
  }
  // Written so that a NaN expiry fails both comparisons.
  return now < grant.expires && grant.expires <= now + kMaximumGrantLifetime;
}

std::string hexEncoded(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace velmorine::reminders
