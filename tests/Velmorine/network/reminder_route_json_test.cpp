// The NOTIFY_ROUTE JSON: what is built, and what a peer may send that is refused.

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "Velmorine/network/reminder_route_client.h"

namespace velmorine::network {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }
std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

const std::string kRoute = "6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90";
const std::string kBearer(43, 'B');
const ReminderGrant kGrant{kRoute, kBearer, 1700003600.5};

TEST(NotifyRouteJson, WithoutAGrantItIsExactlyFortySixBytes) {
  const auto json = makeNotifyRoute(std::nullopt);
  EXPECT_EQ(text(json), R"({"grant":null,"major":2,"type":"NOTIFY_ROUTE"})");
  EXPECT_EQ(json.size(), 46u);
  EXPECT_EQ(parseNotifyRoute(json), std::nullopt);
}

TEST(NotifyRouteJson, GrantIsWrittenWithSortedKeysAndReadBack) {
  const auto json = makeNotifyRoute(kGrant);
  EXPECT_EQ(text(json), R"({"grant":{"bearer":")" + kBearer +
                            R"(","expires":1700003600.5,"route":")" + kRoute +
                            R"("},"major":2,"type":"NOTIFY_ROUTE"})");
  EXPECT_EQ(parseNotifyRoute(json), kGrant);
}

struct HostileCase {
  const char* name;
  std::string json;
  const char* failure;  // "json" for the reader's error, "route" for a refused form, "" for none
};

std::string route(const std::string& grant,
                  const std::string& rest = R"("major":2,"type":"NOTIFY_ROUTE")") {
  return R"({"grant":)" + grant + "," + rest + "}";
}
const std::string kGrantObject =
    R"({"bearer":")" + kBearer + R"(","expires":1700003600,"route":")" + kRoute + R"("})";

class NotifyRouteHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(NotifyRouteHostile, OnlyTheExactFormIsRead) {
  std::string failure;
  try {
    parseNotifyRoute(bytes(GetParam().json));
  } catch (const nlohmann::json::exception&) {
    failure = "json";
  } catch (const std::invalid_argument&) {
    failure = "route";
  }
  EXPECT_EQ(failure, GetParam().failure) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotifyRouteHostile,
    ::testing::Values(
        HostileCase{"NullGrant", route("null"), ""}, HostileCase{"Grant", route(kGrantObject), ""},
        HostileCase{"MembersInAnyOrder", R"({"type":"NOTIFY_ROUTE","grant":null,"major":2})", ""},
        HostileCase{"WhiteSpace", " {\"grant\" : null ,\n\"major\":2,\"type\":\"NOTIFY_ROUTE\"} ",
                    ""},
        HostileCase{"MajorThree", route("null", R"("major":3,"type":"NOTIFY_ROUTE")"), "route"},
        HostileCase{"MajorAsFraction", route("null", R"("major":2.0,"type":"NOTIFY_ROUTE")"),
                    "route"},
        HostileCase{"MajorAsText", route("null", R"("major":"2","type":"NOTIFY_ROUTE")"), "route"},
        HostileCase{"TypeInLowerCase", route("null", R"("major":2,"type":"notify_route")"),
                    "route"},
        HostileCase{"TypeNotText", route("null", R"("major":2,"type":17)"), "route"},
        HostileCase{"ExtraMember", route("null", R"("major":2,"type":"NOTIFY_ROUTE","extra":1)"),
                    "route"},
        HostileCase{"MissingGrant", R"({"major":2,"type":"NOTIFY_ROUTE"})", "route"},
        HostileCase{"MissingMajor", R"({"grant":null,"type":"NOTIFY_ROUTE"})", "route"},
        HostileCase{"DuplicateType",
                    R"({"grant":null,"major":2,"type":"NOTIFY_ROUTE","type":"NOTIFY_ROUTE"})",
                    "route"},
        HostileCase{"DuplicateInGrant",
                    route(R"({"bearer":")" + kBearer + R"(","expires":1,"route":"a","route":"b"})"),
                    "route"},
        HostileCase{"GrantWithExtraMember",
                    route(R"({"bearer":")" + kBearer + R"(","expires":1,"route":")" + kRoute +
                          R"(","x":null})"),
                    "route"},
        HostileCase{"GrantWithoutExpiry",
                    route(R"({"bearer":")" + kBearer + R"(","route":")" + kRoute + R"("})"),
                    "route"},
        HostileCase{"ExpiryAsText",
                    route(R"({"bearer":")" + kBearer + R"(","expires":"1700003600","route":")" +
                          kRoute + R"("})"),
                    "route"},
        HostileCase{"RouteAsNumber",
                    route(R"({"bearer":")" + kBearer + R"(","expires":1,"route":1})"), "route"},
        HostileCase{"GrantAsList", route("[]"), "route"},
        HostileCase{"GrantAsText", route(R"("grant")"), "route"},
        HostileCase{"NotAnObject", R"(["NOTIFY_ROUTE",2,null])", "route"},
        HostileCase{"NotJson", R"({"grant":null,"major":2,)", "json"},
        HostileCase{"InvalidUtf8", route("null", "\"major\":2,\"type\":\"NOTIFY_ROUTE\xff\""),
                    "json"},
        HostileCase{"TrailingText", route("null") + "{}", "json"}, HostileCase{"Empty", "", "json"},
        HostileCase{"Over1024Bytes",
                    route("null", R"("major":2,"type":"NOTIFY_ROUTE")") + std::string(979, ' '),
                    "route"},
        HostileCase{"Exactly1024Bytes",
                    route("null", R"("major":2,"type":"NOTIFY_ROUTE")") + std::string(978, ' '),
                    ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(NotifyRouteJson, GrantThatCannotBeWrittenIsRefused) {
  EXPECT_THROW(makeNotifyRoute(ReminderGrant{"", kBearer, 1}), std::invalid_argument);
  EXPECT_THROW(makeNotifyRoute(ReminderGrant{kRoute, kBearer, std::nan("")}),
               std::invalid_argument);
}

}  // namespace
}  // namespace velmorine::network
