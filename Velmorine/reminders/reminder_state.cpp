#include "Velmorine/reminders/reminder_state.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Velmorine/store/base64.h"

namespace velmorine::reminders {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

ordered_json encodeBound(const BoundReminderGrant& bound) {
  ordered_json grant = ordered_json::object();
  grant["route"] = bound.grant.route;
  grant["bearer"] = bound.grant.bearer;
  grant["expires"] = bound.grant.expires;
  ordered_json value = ordered_json::object();
  value["grant"] = std::move(grant);
  value["contact"] = bound.contact;
  value["key"] = store::encodeBase64(bound.key);
  return value;
}

ordered_json encodeGrants(const std::map<std::string, BoundReminderGrant>& grants) {
  ordered_json value = ordered_json::object();
  for (const auto& [id, bound] : grants) value[id] = encodeBound(bound);
  return value;
}

std::vector<uint8_t> bytesOf(const json& text) {
  auto bytes = store::decodeBase64(text.get_ref<const std::string&>());
  if (!bytes) throw std::invalid_argument("not Base64");
  return std::move(*bytes);
}

const json& requiredString(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_string()) throw std::invalid_argument(std::string(key) + " is not text");
  return value;
}

// The member, or nullptr when it is missing or null.
const json* optionalMember(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

BoundReminderGrant decodeBound(const json& value) {
  const json& grant = value.at("grant");
  const json& expires = grant.at("expires");
  if (!expires.is_number()) throw std::invalid_argument("expires is not a number");
  return BoundReminderGrant{
      ReminderGrant{requiredString(grant, "route").get<std::string>(),
                    requiredString(grant, "bearer").get<std::string>(), expires.get<double>()},
      requiredString(value, "contact").get<std::string>(), bytesOf(requiredString(value, "key"))};
}

std::map<std::string, BoundReminderGrant> decodeGrants(const json& value) {
  if (!value.is_object()) throw std::invalid_argument("grants are not an object");
  std::map<std::string, BoundReminderGrant> grants;
  for (const auto& [id, bound] : value.items()) grants.emplace(id, decodeBound(bound));
  return grants;
}

}  // namespace

std::vector<uint8_t> encodeReminderState(const ReminderState& state) {
  ordered_json document = ordered_json::object();
  if (state.registration) {
    ordered_json registration = ordered_json::object();
    registration["id"] = state.registration->id;
    registration["owner"] = state.registration->owner;
    document["registration"] = std::move(registration);
  }
  document["issued"] = encodeGrants(state.issued);
  document["received"] = encodeGrants(state.received);
  document["revoking"] = state.revoking;
  if (!state.revocations.empty()) document["revocations"] = state.revocations;
  if (state.localIdentity) document["localIdentity"] = store::encodeBase64(*state.localIdentity);
  const std::string text = document.dump();
  return {text.begin(), text.end()};
}

ReminderState decodeReminderState(std::span<const uint8_t> bytes) {
  const json document = json::parse(bytes.begin(), bytes.end());
  if (!document.is_object()) throw std::invalid_argument("state is not an object");
  ReminderState state;
  if (const json* registration = optionalMember(document, "registration")) {
    state.registration =
        ReminderRegistration{requiredString(*registration, "id").get<std::string>(),
                             requiredString(*registration, "owner").get<std::string>()};
  }
  state.issued = decodeGrants(document.at("issued"));
  state.received = decodeGrants(document.at("received"));
  const json& revoking = document.at("revoking");
  if (!revoking.is_boolean()) throw std::invalid_argument("revoking is not a Boolean");
  state.revoking = revoking.get<bool>();
  if (const json* revocations = optionalMember(document, "revocations")) {
    if (!revocations->is_array()) throw std::invalid_argument("revocations are not a list");
    for (const auto& route : *revocations) {
      if (!route.is_string()) throw std::invalid_argument("a revocation is not text");
      state.revocations.push_back(route.get<std::string>());
    }
  }
  if (const json* identity = optionalMember(document, "localIdentity")) {
    if (!identity->is_string()) throw std::invalid_argument("localIdentity is not text");
    state.localIdentity = bytesOf(*identity);
  }
  return state;
}

}  // namespace velmorine::reminders
