// Hostile NOTIFY_ROUTE headers from a peer: the reader and the grant check must never crash, and
// whatever both accept (at a fixed time) must be built again into a header that reads back to
// the same grant.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <span>

#include "Velmorine/network/reminder_route_client.h"
#include "Velmorine/reminders/reminder_grant.h"

using namespace velmorine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr double kNow = 1700000000;
  std::optional<network::ReminderGrant> grant;
  try {
    grant = network::parseNotifyRoute(std::span<const uint8_t>(data, size));
  } catch (const std::exception&) {
    return 0;
  }
  if (size > network::kMaximumNotifyRouteBytes) std::abort();
  if (grant && !reminders::isValidGrant(*grant, kNow)) return 0;
  const auto built = network::makeNotifyRoute(grant);
  if (built.size() > network::kMaximumNotifyRouteBytes) std::abort();
  if (network::parseNotifyRoute(built) != grant) std::abort();
  return 0;
}
