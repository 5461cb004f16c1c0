#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::network {

namespace {

void requireValid(const ReminderGrant& grant) {
  if (grant.route.empty() || grant.bearer.empty() || !std::isfinite(grant.expires)) {
    throw std::invalid_argument("NOTIFY_ROUTE grant is not valid");
  }
}

}  // namespace

std::vector<uint8_t> makeNotifyRoute(const std::optional<ReminderGrant>& grant) {
  // nlohmann's default object keeps its keys sorted, which the wire form asks for.
  nlohmann::json route = nlohmann::json::object();
  if (grant) {
    requireValid(*grant);
    route["grant"] = {
        {"bearer", grant->bearer}, {"expires", grant->expires}, {"route", grant->route}};
  } else {
    route["grant"] = nullptr;
  }
  route["major"] = 2;
  route["type"] = "NOTIFY_ROUTE";
  const std::string text = route.dump();
  return {text.begin(), text.end()};
}

std::optional<ReminderGrant> parseNotifyRoute(std::span<const uint8_t> header) {
  const auto route = nlohmann::json::parse(header.begin(), header.end());
  const auto invalid = [] { return std::invalid_argument("not a NOTIFY_ROUTE header"); };
  if (!route.is_object()) throw invalid();
  const auto type = route.find("type");
  if (type == route.end() || !type->is_string() || *type != "NOTIFY_ROUTE") throw invalid();
  const auto major = route.find("major");
  if (major == route.end() || !major->is_number_integer() || *major != 2) throw invalid();
  const auto grant = route.find("grant");
  if (grant == route.end()) throw invalid();
  if (grant->is_null()) return std::nullopt;
  if (!grant->is_object()) throw invalid();
  const auto text = [&](const char* key) {
    const auto member = grant->find(key);
    if (member == grant->end() || !member->is_string()) throw invalid();
    return member->get<std::string>();
  };
  const auto expires = grant->find("expires");
  if (expires == grant->end() || !expires->is_number()) throw invalid();
  // Whether the grant is worth keeping is the reminder client's decision when it accepts it.
  return ReminderGrant{text("route"), text("bearer"), expires->get<double>()};
}

}  // namespace velmorine::network
