#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::network {

namespace {

using nlohmann::json;

void requireValid(const ReminderGrant& grant) {
  if (grant.route.empty() || grant.bearer.empty() || !std::isfinite(grant.expires)) {
    throw std::invalid_argument("NOTIFY_ROUTE grant is not valid");
  }
}

std::invalid_argument notARoute() { return std::invalid_argument("not a NOTIFY_ROUTE header"); }

// Parses the JSON and refuses an object that names one member twice: which of the two a reader
// would take is not something a peer gets to choose.
json parseWithoutDuplicates(std::span<const uint8_t> text) {
  std::vector<std::set<std::string>> open;
  bool duplicate = false;
  json value = json::parse(
      text.begin(), text.end(), [&](int depth, json::parse_event_t event, json& parsed) {
        const auto level = static_cast<size_t>(depth);
        switch (event) {
          case json::parse_event_t::object_start:
            if (open.size() <= level) open.resize(level + 1);
            open[level].clear();
            break;
          case json::parse_event_t::key:
            // A key is reported one level below its object.
            if (level == 0 || !open[level - 1].insert(parsed.get<std::string>()).second) {
              duplicate = true;
            }
            break;
          default:
            break;
        }
        return true;
      });
  if (duplicate) throw notARoute();
  return value;
}

// Whether the object has exactly these members.
bool hasExactly(const json& object, const std::set<std::string>& keys) {
  if (object.size() != keys.size()) return false;
  for (const auto& [key, value] : object.items()) {
    if (!keys.contains(key)) return false;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> makeNotifyRoute(const std::optional<ReminderGrant>& grant) {
  // nlohmann's default object keeps its keys sorted, which the wire form asks for.
  json route = json::object();
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
  if (header.size() > kMaximumNotifyRouteBytes) throw notARoute();
  const json route = parseWithoutDuplicates(header);
  if (!route.is_object() || !hasExactly(route, {"type", "major", "grant"})) throw notARoute();
  const auto& type = route["type"];
  if (!type.is_string() || type != "NOTIFY_ROUTE") throw notARoute();
  const auto& major = route["major"];
  if (!major.is_number_integer() || major != 2) throw notARoute();
  const auto& grant = route["grant"];
  if (grant.is_null()) return std::nullopt;
  if (!grant.is_object() || !hasExactly(grant, {"route", "bearer", "expires"})) throw notARoute();
  const auto& routeText = grant["route"];
  const auto& bearer = grant["bearer"];
  const auto& expires = grant["expires"];
  if (!routeText.is_string() || !bearer.is_string() || !expires.is_number()) throw notARoute();
  // Whether the grant is worth keeping is the reminder client's decision when it accepts it.
  return ReminderGrant{routeText.get<std::string>(), bearer.get<std::string>(),
                       expires.get<double>()};
}

}  // namespace velmorine::network
