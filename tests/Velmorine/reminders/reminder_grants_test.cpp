// Grants: their validity, issuing them for peers, taking them from peers, reminders, revoking,
// binding to the device identity, and the route of a tapped notification.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/Velmorine/reminders/reminder_service_fixture.h"

namespace velmorine::reminders::testing {
namespace {

struct ValidityCase {
  const char* name;
  ReminderGrant grant;
  bool valid;
};

class ReminderGrantValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(ReminderGrantValidity, RouteBearerAndExpiryDecide) {
  EXPECT_EQ(isValidGrant(GetParam().grant, kNow), GetParam().valid);
}

ReminderGrant with(std::string route, std::string bearer, double expires) {
  return ReminderGrant{std::move(route), std::move(bearer), expires};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderGrantValidity,
    ::testing::Values(
        ValidityCase{"Valid", grantNumber(1), true},
        ValidityCase{"ExpiresNow", grantNumber(1, kNow), false},
        ValidityCase{"ExpiresIn31Days", grantNumber(1, kNow + 2678400), true},
        ValidityCase{"ExpiresASecondLater", grantNumber(1, kNow + 2678401), false},
        ValidityCase{"ExpiryNotANumber", grantNumber(1, std::nan("")), false},
        ValidityCase{"RouteInUpperCase",
                     with("5A0F8A44-7C1E-4A55-9F7D-2B1C0E9D8A31", bearerNumber(1), kNow + 60),
                     false},
        ValidityCase{"RouteNotUuid", with("route-1", bearerNumber(1), kNow + 60), false},
        ValidityCase{"Bearer42", with(routeNumber(1), std::string(42, 'b'), kNow + 60), false},
        ValidityCase{"Bearer44", with(routeNumber(1), std::string(44, 'b'), kNow + 60), false},
        ValidityCase{"BearerWithPlus", with(routeNumber(1), std::string(42, 'b') + "+", kNow + 60),
                     false},
        ValidityCase{"BearerWithSlash", with(routeNumber(1), std::string(42, 'b') + "/", kNow + 60),
                     false},
        ValidityCase{"BearerUrlSafe",
                     with(routeNumber(1), "Az09_-" + std::string(37, 'x'), kNow + 60), true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ReminderHexText, TwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(hexEncoded(std::vector<uint8_t>{0x01, 0x0a, 0xff}), "010aff");
  EXPECT_EQ(hexEncoded(std::vector<uint8_t>{}), "");
}

class ReminderGrantsTest : public ReminderServiceTest {
 protected:
  std::string grantsPath() const { return devicePath() + "/grants"; }
  void scriptGrants(std::vector<ReminderGrant> grants) {
    std::vector<ScriptedReply> replies;
    for (const auto& grant : grants) replies.emplace_back(200, grantJson(grant));
    server.script("POST", grantsPath(), std::move(replies));
    server.script("DELETE", grantsPath() + "/*", ScriptedReply(204));
  }
  template <typename T>
  std::future<std::pair<T, std::exception_ptr>> later(
      std::function<void(std::function<void(T, std::exception_ptr)>)> call) {
    auto answer = std::make_shared<std::promise<std::pair<T, std::exception_ptr>>>();
    auto future = answer->get_future();
    call([answer](T value, std::exception_ptr error) { answer->set_value({value, error}); });
    return future;
  }
  std::future<std::pair<std::optional<ReminderGrant>, std::exception_ptr>> issueLater(
      ReminderServiceClient& client, network::AuthenticatedPeer peer) {
    return later<std::optional<ReminderGrant>>(
        [&](auto callback) { client.issueGrant(peer, callback); });
  }
  std::string sendReminder(ReminderServiceClient& client, const std::string& peerID,
                           std::vector<uint8_t> key, std::string event, std::string kind) {
    return done([&](auto callback) { client.sendReminder(peerID, key, event, kind, callback); });
  }
  // A state registered as kDeviceID and bound to kIdentityKey, with `count` issued grants.
  ReminderState registeredState(int count = 0, double expires = kNow + 3600) const {
    ReminderState state;
    state.registration = ReminderRegistration{kDeviceID, kOwner};
    state.localIdentity = kIdentityKey;
    for (int n = 1000; n < 1000 + count; ++n) {
      state.issued["contact-" + std::to_string(n)] = BoundReminderGrant{
          grantNumber(n, expires), "contact-" + std::to_string(n), std::vector<uint8_t>(32, 1)};
    }
    return state;
  }
};

using Optional = std::optional<ReminderGrant>;
const auto kOk = std::string("ok");

TEST_F(ReminderGrantsTest, IssuedGrantIsAskedForWithTheOwnerTokenAndFiledByContact) {
  scriptGrants({grantNumber(1)});
  auto client = registeredClient();
  const size_t first = server.requests().size();
  EXPECT_EQ(issue(*client, peerNumber(1)), std::make_pair(Optional(grantNumber(1)), kOk));
  const auto request = server.requests().at(first);
  EXPECT_EQ(request.method + " " + request.target, "POST " + grantsPath());
  EXPECT_EQ(request.header("authorization"), "Bearer " + kOwner);
  EXPECT_EQ(request.body, "{}");
  EXPECT_EQ(stored()->issued.at("contact-1"),
            (BoundReminderGrant{grantNumber(1), "contact-1", peerNumber(1).publicKey}));
  EXPECT_EQ(contactFor(*client, routeNumber(1)),
            std::make_pair(std::optional<std::string>("contact-1"), kOk));
}

TEST_F(ReminderGrantsTest, StoredGrantIsHandedOutAgainForTheSameKeyOnly) {
  scriptGrants({grantNumber(1), grantNumber(2), grantNumber(3, kNow + 2 * 86400)});
  auto client = registeredClient();
  const size_t first = server.requests().size();
  EXPECT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
  EXPECT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
  EXPECT_EQ(calls(first).size(), 1u);
  // The same contact with another key gets a new grant in place of the old.
  EXPECT_EQ(issue(*client, peerNumber(1, 0x77)).first, grantNumber(2));
  EXPECT_EQ(calls(first).size(), 2u);
  // An expired grant is not handed out again.
  clock->store(kNow + 86400);
  EXPECT_EQ(issue(*client, peerNumber(1, 0x77)).first, grantNumber(3, kNow + 2 * 86400));
}

TEST_F(ReminderGrantsTest, NoGrantIsAskedForWhileNotRegistered) {
  scriptGrants({grantNumber(1)});
  auto off = makeClient("");
  EXPECT_EQ(issue(*off, peerNumber(1)), std::make_pair(Optional(), kOk));
  store(registeredState());
  // Registered in the item, but not enabled in this process until it registers.
  auto client = makeClient();
  EXPECT_EQ(issue(*client, peerNumber(1)), std::make_pair(Optional(), kOk));
  EXPECT_TRUE(server.requests().empty());
}

struct GrantAnswerCase {
  const char* name;
  std::string body;
  std::string result;
};

class ReminderGrantAnswers : public ReminderGrantsTest,
                             public ::testing::WithParamInterface<GrantAnswerCase> {};

TEST_P(ReminderGrantAnswers, OnlyAValidGrantIsFiled) {
  server.script("POST", grantsPath(), ScriptedReply(200, GetParam().body));
  auto client = registeredClient();
  const auto [grant, result] = issue(*client, peerNumber(1));
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(grant.has_value(), result == "ok");
  EXPECT_EQ(stored()->issued.size(), result == "ok" ? 1u : 0u);
  // A failed request does not block the next one for that contact.
  server.script("POST", grantsPath(), ScriptedReply(200, grantJson(grantNumber(2))));
  if (result != "ok") {
    EXPECT_EQ(issue(*client, peerNumber(1)).first, grantNumber(2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderGrantAnswers,
    ::testing::Values(
        GrantAnswerCase{"Valid", grantJson(grantNumber(1)), "ok"},
        GrantAnswerCase{"ExpiresIn31Days", grantJson(grantNumber(1, kNow + 2678400)), "ok"},
        GrantAnswerCase{"ExpiresASecondLater", grantJson(grantNumber(1, kNow + 2678401)),
                        "invalid"},
        GrantAnswerCase{"ExpiresNow", grantJson(grantNumber(1, kNow)), "invalid"},
        GrantAnswerCase{
            "UpperCaseRoute",
            grantJson(with("5A0F8A44-7C1E-4A55-9F7D-2B1C0E9D8A31", bearerNumber(1), kNow + 60)),
            "invalid"},
        GrantAnswerCase{"BearerWithPlus",
                        grantJson(with(routeNumber(1), std::string(42, 'b') + "+", kNow + 60)),
                        "invalid"},
        GrantAnswerCase{"Bearer44",
                        grantJson(with(routeNumber(1), std::string(44, 'b'), kNow + 60)),
                        "invalid"},
        GrantAnswerCase{"ExpiryAsText",
                        R"({"route":")" + routeNumber(1) + R"(","bearer":")" + bearerNumber(1) +
                            R"(","expires":"1700003600"})",
                        "json"},
        GrantAnswerCase{"WithoutBearer",
                        R"({"route":")" + routeNumber(1) + R"(","expires":1700003600})", "json"},
        GrantAnswerCase{"NotJson", "grant", "json"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderGrantsTest, SecondRequestForOneContactWhileOneIsInFlightIsRefused) {
  scriptGrants({grantNumber(1)});
  auto client = registeredClient();
  server.hold("POST", grantsPath());
  auto first = issueLater(*client, peerNumber(1));
  ASSERT_TRUE(server.waitForHeld(1));
  EXPECT_EQ(issue(*client, peerNumber(1)), std::make_pair(Optional(), std::string("unavailable")));
  server.release("POST", grantsPath());
  EXPECT_EQ(first.get().first, grantNumber(1));
}

struct InterruptionCase {
  const char* name;
  bool revoke;  // else unregister
};

class ReminderGrantInterrupted : public ReminderGrantsTest,
                                 public ::testing::WithParamInterface<InterruptionCase> {};

TEST_P(ReminderGrantInterrupted, GrantArrivingAfterARevocationIsDeletedNotFiled) {
  scriptGrants({grantNumber(1)});
  server.script("DELETE", devicePath(), ScriptedReply(204));
  auto client = registeredClient();
  server.hold("POST", grantsPath());
  auto issued = issueLater(*client, peerNumber(1));
  ASSERT_TRUE(server.waitForHeld(1));
  if (GetParam().revoke) {
    EXPECT_EQ(revoke(*client, "contact-1"), "ok");
  } else {
    EXPECT_EQ(unregisterDevice(*client), "ok");
  }
  server.release("POST", grantsPath());
  const auto [grant, error] = issued.get();
  EXPECT_EQ(grant, std::nullopt);
  EXPECT_EQ(outcome(error), "ok");
  EXPECT_EQ(calls().back(), "DELETE " + grantPath(1));
  EXPECT_TRUE(stored()->issued.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderGrantInterrupted,
                         ::testing::Values(InterruptionCase{"Revocation", true},
                                           InterruptionCase{"Unregistration", false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderGrantsTest, AtTheCapExpiredGrantsMakeRoomAndOtherwiseNoneIsIssued) {
  scriptGrants({grantNumber(1)});
  server.script("PUT", devicePath(), ScriptedReply(200));
  store(registeredState(200));
  auto client = makeClient();
  ASSERT_EQ(registerDevice(*client), "ok");
  const size_t first = server.requests().size();
  EXPECT_EQ(issue(*client, peerNumber(1)), std::make_pair(Optional(), kOk));
  EXPECT_TRUE(calls(first).empty());
  // One of them expires: it is forgotten, without a revocation, and the new one fits.
  auto state = *stored();
  state.issued.at("contact-1000").grant.expires = kNow;
  store(state);
  auto restarted = makeClient();
  ASSERT_EQ(registerDevice(*restarted), "ok");
  EXPECT_EQ(issue(*restarted, peerNumber(1)).first, grantNumber(1));
  EXPECT_EQ(stored()->issued.size(), 200u);
  EXPECT_FALSE(stored()->issued.contains("contact-1000"));
  EXPECT_TRUE(stored()->revocations.empty());
}

TEST_F(ReminderGrantsTest, AcceptedGrantIsFiledByDeviceAndUsedOnlyForItsKey) {
  auto client = makeClient();
  const auto peer = peerNumber(5);
  EXPECT_EQ(accept(*client, grantNumber(5), peer), std::make_pair(true, kOk));
  EXPECT_EQ(stored()->received.at("wire-5"),
            (BoundReminderGrant{grantNumber(5), "contact-5", peer.publicKey}));
  EXPECT_EQ(received(*client, "wire-5", peer.publicKey).first, grantNumber(5));
  EXPECT_EQ(received(*client, "wire-5", std::vector<uint8_t>(32, 0x66)).first, std::nullopt);
  EXPECT_EQ(received(*client, "contact-5", peer.publicKey).first, std::nullopt);
  // Expired, it is no longer used, but stays filed.
  clock->store(kNow + 86400);
  EXPECT_EQ(received(*client, "wire-5", peer.publicKey).first, std::nullopt);
  EXPECT_TRUE(stored()->received.contains("wire-5"));
  // The peer withdraws it.
  EXPECT_EQ(accept(*client, std::nullopt, peer), std::make_pair(true, kOk));
  EXPECT_FALSE(stored()->received.contains("wire-5"));
}

TEST_F(ReminderGrantsTest, InvalidGrantFromAPeerIsRefused) {
  auto client = makeClient();
  EXPECT_EQ(accept(*client, grantNumber(5, kNow), peerNumber(5)),
            std::make_pair(false, std::string("invalid")));
  EXPECT_EQ(accept(*client, with("route", bearerNumber(5), kNow + 60), peerNumber(5)).second,
            "invalid");
  EXPECT_TRUE(stored().value_or(ReminderState{}).received.empty());
  auto off = makeClient("");
  EXPECT_EQ(accept(*off, grantNumber(5), peerNumber(5)), std::make_pair(false, kOk));
}

TEST_F(ReminderGrantsTest, AtTheCapOnlyKnownPeersAndRoomFromExpiredGrantsAreTaken) {
  ReminderState state;
  for (int n = 1000; n < 1200; ++n) {
    state.received["wire-" + std::to_string(n)] =
        BoundReminderGrant{grantNumber(n), "contact", std::vector<uint8_t>(32, 1)};
  }
  store(state);
  auto client = makeClient();
  EXPECT_EQ(accept(*client, grantNumber(1), peerNumber(1)), std::make_pair(false, kOk));
  EXPECT_EQ(accept(*client, grantNumber(2), peerNumber(1000)), std::make_pair(true, kOk));
  EXPECT_EQ(stored()->received.at("wire-1000").grant, grantNumber(2));
  clock->store(grantNumber(1001).expires);
  // Every grant but the one just taken has expired now: they go, and the new one is taken.
  EXPECT_EQ(accept(*client, grantNumber(3, kNow + 2 * 86400), peerNumber(1)),
            std::make_pair(true, kOk));
  EXPECT_EQ(stored()->received.size(), 1u);
}

TEST_F(ReminderGrantsTest, ReminderIsPostedWithTheGrantsBearer) {
  const std::string event = "8e2b4c1d-3f5a-4b6c-9d7e-0f1a2b3c4d5e";
  server.script("POST", "/base/v1/reminders/" + routeNumber(5), ScriptedReply(202));
  auto client = makeClient();
  ASSERT_EQ(accept(*client, grantNumber(5), peerNumber(5)).second, "ok");
  EXPECT_EQ(sendReminder(*client, "wire-5", peerNumber(5).publicKey, event, "message"), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/base/v1/reminders/" + routeNumber(5));
  EXPECT_EQ(requests[0].header("authorization"), "Bearer " + bearerNumber(5));
  EXPECT_EQ(nlohmann::json::parse(requests[0].body),
            (nlohmann::json{{"event", event}, {"kind", "message"}}));
}

struct ReminderCase {
  const char* name;
  std::string peerID;
  std::string event;
  std::string kind;
  std::string result;
};

class ReminderRefusals : public ReminderGrantsTest,
                         public ::testing::WithParamInterface<ReminderCase> {};

TEST_P(ReminderRefusals, NothingIsSentWithoutAUsableGrantEventAndKind) {
  server.script("POST", "/base/v1/reminders/" + routeNumber(5), ScriptedReply(500));
  auto client = makeClient();
  ASSERT_EQ(accept(*client, grantNumber(5), peerNumber(5)).second, "ok");
  EXPECT_EQ(sendReminder(*client, GetParam().peerID, peerNumber(5).publicKey, GetParam().event,
                         GetParam().kind),
            GetParam().result);
  EXPECT_EQ(server.requests().size(), GetParam().result == "unavailable" ? 0u : 1u);
}

const std::string kEvent = "8e2b4c1d-3f5a-4b6c-9d7e-0f1a2b3c4d5e";

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderRefusals,
    ::testing::Values(ReminderCase{"OtherKind", "wire-5", kEvent, "ping", "unavailable"},
                      ReminderCase{"KindInUpperCase", "wire-5", kEvent, "File", "unavailable"},
                      ReminderCase{"EventNotUuid", "wire-5", "message-1", "file", "unavailable"},
                      ReminderCase{"NoGrant", "wire-6", kEvent, "file", "unavailable"},
                      ReminderCase{"ServiceRefuses", "wire-5", kEvent, "file", "rejected(500)"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderGrantsTest, RevokingDeletesTheIssuedGrantAndForgetsTheContactsOwn) {
  scriptGrants({grantNumber(1)});
  auto client = registeredClient();
  ASSERT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
  ASSERT_EQ(accept(*client, grantNumber(11), peerNumber(1)).second, "ok");
  auto otherDevice = peerNumber(1);
  otherDevice.wireID = "wire-other";
  ASSERT_EQ(accept(*client, grantNumber(12), otherDevice).second, "ok");
  ASSERT_EQ(accept(*client, grantNumber(13), peerNumber(3)).second, "ok");
  const size_t first = server.requests().size();
  EXPECT_EQ(revoke(*client, "contact-1"), "ok");
  EXPECT_EQ(calls(first), std::vector<std::string>{"DELETE " + grantPath(1)});
  const auto state = *stored();
  EXPECT_TRUE(state.issued.empty());
  EXPECT_EQ(state.received.size(), 1u);
  EXPECT_TRUE(state.received.contains("wire-3"));
  EXPECT_TRUE(state.revocations.empty());
  EXPECT_EQ(contactFor(*client, routeNumber(1)).first, std::nullopt);
}

TEST_F(ReminderGrantsTest, RevocationTheServiceRefusesStaysOwedUntilPaid) {
  scriptGrants({grantNumber(1)});
  auto client = registeredClient();
  ASSERT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
  server.script("DELETE", grantPath(1), {ScriptedReply(503), ScriptedReply(204)});
  EXPECT_EQ(revoke(*client, "contact-1"), "rejected(503)");
  EXPECT_EQ(stored()->revocations, std::vector<std::string>{routeNumber(1)});
  EXPECT_EQ(configure(*client), "ok");
  EXPECT_TRUE(stored()->revocations.empty());
  EXPECT_EQ(calls().back(), "DELETE " + grantPath(1));
}

TEST_F(ReminderGrantsTest, ConfiguringWithTheSameKeyOnlyFlushes) {
  auto state = registeredState(1);
  state.revocations = {routeNumber(7)};
  store(state);
  server.script("DELETE", grantPath(7), ScriptedReply(204));
  auto client = makeClient();
  EXPECT_EQ(configure(*client), "ok");
  EXPECT_EQ(calls(), std::vector<std::string>{"DELETE " + grantPath(7)});
  state.revocations.clear();
  EXPECT_EQ(stored(), state);
  EXPECT_EQ(configure(*client, std::vector<uint8_t>(31, 1)), "invalid");
}

TEST_F(ReminderGrantsTest, NewIdentityKeyRevokesEveryIssuedGrantAndDropsReceivedOnes) {
  auto state = registeredState(2);
  state.received["wire-1"] = BoundReminderGrant{grantNumber(1), "contact-1", {1}};
  store(state);
  server.script("DELETE", grantsPath() + "/*", ScriptedReply(204));
  auto client = makeClient();
  EXPECT_EQ(configure(*client, std::vector<uint8_t>(32, 0x22)), "ok");
  EXPECT_EQ(calls(),
            (std::vector<std::string>{"DELETE " + grantPath(1000), "DELETE " + grantPath(1001)}));
  const auto after = *stored();
  EXPECT_TRUE(after.issued.empty());
  EXPECT_TRUE(after.received.empty());
  EXPECT_TRUE(after.revocations.empty());
  EXPECT_EQ(after.localIdentity, std::vector<uint8_t>(32, 0x22));
}

TEST_F(ReminderGrantsTest, RouteOfATappedNotificationNamesItsContactWhileValid) {
  auto state = registeredState(1);
  store(state);
  auto client = makeClient();
  EXPECT_EQ(contactFor(*client, routeNumber(1000)).first, "contact-1000");
  EXPECT_EQ(contactFor(*client, routeNumber(1)).first, std::nullopt);
  clock->store(kNow + 3600);
  EXPECT_EQ(contactFor(*client, routeNumber(1000)).first, std::nullopt);
  state.revoking = true;
  store(state);
  clock->store(kNow);
  auto unregistering = makeClient();
  EXPECT_EQ(contactFor(*unregistering, routeNumber(1000)).first, std::nullopt);
}

}  // namespace
}  // namespace velmorine::reminders::testing
