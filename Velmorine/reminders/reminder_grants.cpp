// Grants: binding the client to the device identity, issuing grants for peers, taking the
// grants peers hand over, posting reminders with them, revoking, and finding the contact of a
// tapped notification's route.

#include <nlohmann/json.hpp>

#include "Velmorine/reminders/reminder_client.h"
#include "Velmorine/reminders/reminder_failure.h"
#include "Velmorine/reminders/reminder_service_actor.h"

namespace velmorine::reminders {

namespace {

constexpr size_t kIdentityKeyBytes = 32;

std::string grantsPath(const ReminderRegistration& registration) {
  return "v1/devices/" + registration.id + "/grants";
}

// Expired grants help nobody: at a cap they make room before anything is refused. Whether any
// went.
bool forgetExpired(std::map<std::string, BoundReminderGrant>& grants, double now) {
  // Written so that a NaN expiry counts as expired.
  return std::erase_if(
             grants, [now](const auto& entry) { return !(now < entry.second.grant.expires); }) > 0;
}

// Clears a contact's place in the set of grant requests in flight on every way out.
struct IssuingScope {
  std::set<std::string>& issuing;
  std::string contact;
  IssuingScope(std::set<std::string>& set, std::string id) : issuing(set), contact(std::move(id)) {
    issuing.insert(contact);
  }
  ~IssuingScope() { issuing.erase(contact); }
  IssuingScope(const IssuingScope&) = delete;
  IssuingScope& operator=(const IssuingScope&) = delete;
};

}  // namespace

detail::Task<void> ReminderServiceActor::configureSteps(std::vector<uint8_t> key) {
  if (key.size() != kIdentityKeyBytes) throw ReminderFailure::invalid();
  auto& current = state();
  const bool changed = !current.localIdentity || *current.localIdentity != key;
  if (current.localIdentity && changed) {
    // The device identity was replaced: nothing given to or by the old one holds any more.
    epoch_ = core::Uuid::random();
    for (const auto& [contact, bound] : current.issued) {
      current.revocations.push_back(bound.grant.route);
    }
    current.issued.clear();
    current.received.clear();
  }
  if (changed) {
    current.localIdentity = std::move(key);
    saveState();
  }
  co_await flushRevocations();
}

detail::Task<std::optional<ReminderGrant>> ReminderServiceActor::issueSteps(
    network::AuthenticatedPeer peer) {
  if (!baseURL_) co_return std::nullopt;
  const auto usable = [this] {
    const auto& current = state();
    return enabled_ && !current.revoking && current.registration.has_value();
  };
  if (!usable()) co_return std::nullopt;
  co_await flushRevocations();
  if (!usable()) co_return std::nullopt;

  {
    const auto& issued = state().issued;
    const auto found = issued.find(peer.contactID);
    if (found != issued.end() && found->second.key == peer.publicKey &&
        isValidGrant(found->second.grant, clock_())) {
      co_return found->second.grant;
    }
  }
  if (issuing_.contains(peer.contactID)) throw ReminderFailure::unavailable();
  if (state().issued.size() >= kMaximumGrants) {
    if (forgetExpired(state_->issued, clock_())) saveState();
    if (state().issued.size() >= kMaximumGrants) co_return std::nullopt;
  }

  const IssuingScope issuing(issuing_, peer.contactID);
  const core::Uuid epoch = epoch_;
  const ReminderRegistration registration = *state().registration;
  const auto answer = co_await send("POST", grantsPath(registration), registration.owner, {});
  const auto json = nlohmann::json::parse(answer.begin(), answer.end());
  const ReminderGrant grant{json.at("route").get<std::string>(),
                            json.at("bearer").get<std::string>(), json.at("expires").get<double>()};
  if (!isValidGrant(grant, clock_())) throw ReminderFailure::invalid();
  const std::string grantPath = grantsPath(registration) + "/" + grant.route;
  if (!enabled_ || epoch_ != epoch) {
    // Unregistered, revoked or superseded while the service was issuing it.
    co_await deleteQuietly(grantPath, registration.owner);
    co_return std::nullopt;
  }
  std::exception_ptr failure;
  try {
    state().issued[peer.contactID] = BoundReminderGrant{grant, peer.contactID, peer.publicKey};
    saveState();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return grant;
  // The failed save dropped the state in memory, and the new entry with it.
  co_await deleteQuietly(grantPath, registration.owner);
  std::rethrow_exception(failure);
}

detail::Task<bool> ReminderServiceActor::acceptSteps(std::optional<ReminderGrant> grant,
                                                     network::AuthenticatedPeer peer) {
  auto& current = state();
  if (!baseURL_) co_return false;
  if (current.received.size() >= kMaximumGrants && !current.received.contains(peer.wireID)) {
    if (forgetExpired(current.received, clock_())) saveState();
    if (state().received.size() >= kMaximumGrants) co_return false;
  }
  if (!grant) {
    // The peer withdrew its grant.
    state().received.erase(peer.wireID);
    saveState();
    co_return true;
  }
  if (!isValidGrant(*grant, clock_())) throw ReminderFailure::invalid();
  state().received[peer.wireID] =
      BoundReminderGrant{*grant, std::move(peer.contactID), std::move(peer.publicKey)};
  saveState();
  co_return true;
}

detail::Task<std::optional<ReminderGrant>> ReminderServiceActor::receivedSteps(
    std::string peerID, std::vector<uint8_t> key) {
  const auto& received = state().received;
  if (!baseURL_) co_return std::nullopt;
  const auto found = received.find(peerID);
  // An expired grant stays filed: only its peer or a revocation removes it.
  if (found == received.end() || found->second.key != key ||
      !isValidGrant(found->second.grant, clock_())) {
    co_return std::nullopt;
  }
  co_return found->second.grant;
}

detail::Task<void> ReminderServiceActor::reminderSteps(std::string peerID, std::vector<uint8_t> key,
                                                       std::string event, std::string kind) {
  if (!isUuidText(event) || !isReminderKind(kind)) throw ReminderFailure::unavailable();
  const auto grant = co_await receivedSteps(std::move(peerID), std::move(key));
  if (!grant) throw ReminderFailure::unavailable();
  // Made apart from the awaited call: g++ 12 cannot keep an initializer list in a coroutine.
  std::map<std::string, std::string> body;
  body.emplace("event", std::move(event));
  body.emplace("kind", std::move(kind));
  co_await send("POST", "v1/reminders/" + grant->route, grant->bearer, std::move(body));
}

detail::Task<void> ReminderServiceActor::revokeSteps(std::string contactID) {
  auto& current = state();
  // Grant requests and registrations in flight must not file anything for this contact.
  epoch_ = core::Uuid::random();
  if (const auto issued = current.issued.find(contactID); issued != current.issued.end()) {
    current.revocations.push_back(issued->second.grant.route);
    current.issued.erase(issued);
  }
  std::erase_if(current.received,
                [&](const auto& entry) { return entry.second.contact == contactID; });
  saveState();
  co_await flushRevocations();
}

detail::Task<std::optional<std::string>> ReminderServiceActor::contactSteps(std::string route) {
  const auto& current = state();
  if (current.revoking) co_return std::nullopt;
  for (const auto& [contact, bound] : current.issued) {
    if (bound.grant.route == route && isValidGrant(bound.grant, clock_())) {
      co_return bound.contact;
    }
  }
  co_return std::nullopt;
}

}  // namespace velmorine::reminders
