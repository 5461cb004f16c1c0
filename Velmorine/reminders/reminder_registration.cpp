// This device at the service: registering its push token, updating and deleting the
// registration, and paying the grant revocations it owes.

#include <algorithm>
#include <nlohmann/json.hpp>

#include "Velmorine/reminders/reminder_failure.h"
#include "Velmorine/reminders/reminder_service_actor.h"

namespace velmorine::reminders {

namespace {

const std::string kDevices = "v1/devices";

std::string devicePath(const ReminderRegistration& registration) {
  return kDevices + "/" + registration.id;
}

// The owner token goes into a header: 43 visible ASCII characters and nothing else.
bool isOwnerToken(const std::string& owner) {
  return owner.size() == kTokenLength &&
         std::all_of(owner.begin(), owner.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// A DELETE that the service answers 401 or 410 has nothing left to delete.
bool isGone(const ReminderFailure& failure) {
  return failure == ReminderFailure::rejected(401) || failure == ReminderFailure::rejected(410);
}

// Clears a flag on every way out of an operation, also when the client goes away under it.
struct FlagScope {
  bool& flag;
  explicit FlagScope(bool& raised) : flag(raised) { flag = true; }
  ~FlagScope() { flag = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;
};

}  // namespace

detail::Task<void> ReminderServiceActor::registerSteps(std::vector<uint8_t> token,
                                                       std::string locale) {
  if (!baseURL_ || token.empty() || registering_) throw ReminderFailure::unavailable();
  const FlagScope registering(registering_);
  loadState();
  if (state_->revoking) co_await unregisterSteps();
  co_await flushRevocations();

  enabled_ = true;
  const core::Uuid epoch = epoch_;
  // Filled apart from its declaration: g++ 12 cannot keep an initializer list in a coroutine.
  std::map<std::string, std::string> body;
  body.emplace("token", hexEncoded(token));
  body.emplace("locale", std::move(locale));
  bool create = true;
  if (const auto registration = state().registration) {
    try {
      co_await send("PUT", devicePath(*registration), registration->owner, body);
      create = false;
    } catch (const ReminderFailure& failure) {
      if (failure != ReminderFailure::rejected(401)) throw;
    }
    if (create) {
      // The service no longer knows this device: whatever was bound to it is gone too.
      state() = ReminderState{};
      saveState();
    }
  }
  if (create) co_await createRegistration(body, epoch);
  if (epoch_ != epoch || !enabled_) throw ReminderFailure::unavailable();
}

detail::Task<void> ReminderServiceActor::createRegistration(std::map<std::string, std::string> body,
                                                            core::Uuid epoch) {
  const auto answer = co_await send("POST", kDevices, std::nullopt, std::move(body));
  const auto json = nlohmann::json::parse(answer.begin(), answer.end());
  const ReminderRegistration registration{json.at("id").get<std::string>(),
                                          json.at("owner").get<std::string>()};
  if (!isUuidText(registration.id) || !isOwnerToken(registration.owner)) {
    throw ReminderFailure::invalid();
  }
  if (epoch_ != epoch || !enabled_) {
    // Unregistered or superseded while the service was making it: it is not wanted.
    co_await deleteQuietly(devicePath(registration), registration.owner);
    throw ReminderFailure::unavailable();
  }
  std::exception_ptr failure;
  try {
    state().registration = registration;
    saveState();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return;
  // A failed save has already dropped the state in memory, the new registration with it.
  co_await deleteQuietly(devicePath(registration), registration.owner);
  std::rethrow_exception(failure);
}

detail::Task<void> ReminderServiceActor::unregisterSteps() {
  enabled_ = false;
  epoch_ = core::Uuid::random();
  const core::Uuid epoch = epoch_;
  {
    auto& current = state();
    current.revoking = true;
    // Deleting the device ends its grants at the service; none is revoked on its own.
    current.issued.clear();
    saveState();
  }
  if (const auto registration = state().registration) {
    try {
      co_await send("DELETE", devicePath(*registration), registration->owner, {});
    } catch (const ReminderFailure& failure) {
      if (!isGone(failure)) throw;
    }
  }
  // A registration that started meanwhile owns the state now.
  if (epoch_ != epoch || enabled_) co_return;
  auto& current = state();
  current.registration.reset();
  current.revoking = false;
  current.revocations.clear();
  saveState();
}

detail::Task<void> ReminderServiceActor::flushRevocations() {
  const auto registration = state().registration;
  if (!registration) co_return;
  const std::vector<std::string> routes = state_->revocations;
  for (const auto& route : routes) {
    // Another operation may have paid or dropped it while this one waited.
    if (std::ranges::find(state().revocations, route) == state_->revocations.end()) continue;
    // A route of another form never named a grant; it goes without a request.
    if (isRouteText(route)) {
      try {
        co_await send("DELETE", devicePath(*registration) + "/grants/" + route, registration->owner,
                      {});
      } catch (const ReminderFailure& failure) {
        if (!isGone(failure)) throw;
      }
    }
    std::erase(state().revocations, route);
    saveState();
  }
}

}  // namespace velmorine::reminders
