// Registering this device at the reminder service, updating and deleting the registration,
// paying owed revocations, and the guards that keep overlapping runs apart.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/reminder_service_fixture.h"

namespace velmorine::reminders::testing {
namespace {

const std::string kOtherDevice = "0b7d3c2a-1e4f-4a6b-8c9d-0e1f2a3b4c5d";
const std::string kOtherOwner(43, 'p');

class ReminderRegistrationTest : public ReminderServiceTest {
 protected:
  // A state with something in every member, registered as kDeviceID.
  ReminderState fullState() const {
    ReminderState state;
    state.registration = ReminderRegistration{kDeviceID, kOwner};
    state.issued["contact-1"] = BoundReminderGrant{grantNumber(1), "contact-1", {1}};
    state.received["wire-2"] = BoundReminderGrant{grantNumber(2), "contact-2", {2}};
    state.localIdentity = kIdentityKey;
    return state;
  }
  std::future<std::exception_ptr> registerLater(ReminderServiceClient& client) {
    auto answer = std::make_shared<std::promise<std::exception_ptr>>();
    auto future = answer->get_future();
    client.registerDevice(kToken, "en",
                          [answer](std::exception_ptr error) { answer->set_value(error); });
    return future;
  }
};

TEST_F(ReminderRegistrationTest, RegisteringPostsTheTokenInHexAndStoresTheRegistration) {
  scriptRegistration();
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client, {0x01, 0x0a, 0xff}), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/base/v1/devices");
  EXPECT_EQ(nlohmann::json::parse(requests[0].body),
            (nlohmann::json{{"token", "010aff"}, {"locale", "en"}}));
  EXPECT_EQ(requests[0].header("authorization"), std::nullopt);
  EXPECT_EQ(stored()->registration, (ReminderRegistration{kDeviceID, kOwner}));
}

TEST_F(ReminderRegistrationTest, WithoutServiceOrTokenNothingIsSent) {
  auto off = makeClient("");
  EXPECT_EQ(registerDevice(*off), "unavailable");
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client, {}), "unavailable");
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ReminderRegistrationTest, SecondRegistrationWhileOneRunsFailsAtOnce) {
  scriptRegistration();
  server.hold("POST", "/base/v1/devices");
  auto client = makeClient();
  auto first = registerLater(*client);
  ASSERT_TRUE(server.waitForHeld(1));
  EXPECT_EQ(registerDevice(*client), "unavailable");
  server.release("POST", "/base/v1/devices");
  EXPECT_EQ(outcome(first.get()), "ok");
  EXPECT_EQ(calls(), std::vector<std::string>{"POST /base/v1/devices"});
}

TEST_F(ReminderRegistrationTest, RegisteringAgainUpdatesWithTheOwnerToken) {
  auto client = registeredClient();
  server.script("PUT", devicePath(), ScriptedReply(200));
  EXPECT_EQ(registerDevice(*client, {0xab}), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method + " " + requests[1].target, "PUT " + devicePath());
  EXPECT_EQ(requests[1].header("authorization"), "Bearer " + kOwner);
  EXPECT_EQ(nlohmann::json::parse(requests[1].body),
            (nlohmann::json{{"token", "ab"}, {"locale", "en"}}));
}

TEST_F(ReminderRegistrationTest, UpdateAnswered401StartsOverWithOneNewRegistration) {
  store(fullState());
  server.script("PUT", devicePath(), ScriptedReply(401));
  scriptRegistration(kOtherDevice, kOtherOwner);
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(calls(), (std::vector<std::string>{"PUT " + devicePath(), "POST /base/v1/devices"}));
  EXPECT_EQ(requests[1].body, requests[0].body);
  ReminderState expected;
  expected.registration = ReminderRegistration{kOtherDevice, kOtherOwner};
  EXPECT_EQ(stored(), expected);
}

TEST_F(ReminderRegistrationTest, UpdateFailingOtherwiseKeepsTheRegistration) {
  store(fullState());
  server.script("PUT", devicePath(), ScriptedReply(500));
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), "rejected(500)");
  EXPECT_EQ(stored(), fullState());
  EXPECT_EQ(calls(), std::vector<std::string>{"PUT " + devicePath()});
}

struct CreateAnswerCase {
  const char* name;
  std::string body;
  std::string result;
};

class ReminderCreateAnswers : public ReminderRegistrationTest,
                              public ::testing::WithParamInterface<CreateAnswerCase> {};

TEST_P(ReminderCreateAnswers, OnlyAWellFormedRegistrationIsKept) {
  server.script("POST", "/base/v1/devices", ScriptedReply(200, GetParam().body));
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), GetParam().result);
  const auto state = stored().value_or(ReminderState{});
  if (GetParam().result == "ok") {
    EXPECT_TRUE(state.registration);
  } else {
    EXPECT_EQ(state.registration, std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderCreateAnswers,
    ::testing::Values(
        CreateAnswerCase{"WellFormed", registrationJson(), "ok"},
        CreateAnswerCase{"UpperCaseId", registrationJson("5A0F8A44-7C1E-4A55-9F7D-2B1C0E9D8A31"),
                         "ok"},
        CreateAnswerCase{
            "ExtraMember",
            R"({"id":")" + std::string(kDeviceID) + R"(","owner":")" + kOwner + R"(","note":1})",
            "ok"},
        CreateAnswerCase{"NotJson", "registered", "json"},
        CreateAnswerCase{"NotAnObject", "[]", "json"},
        CreateAnswerCase{"IdNotText", R"({"id":1,"owner":")" + kOwner + R"("})", "json"},
        CreateAnswerCase{"WithoutOwner", R"({"id":")" + std::string(kDeviceID) + R"("})", "json"},
        CreateAnswerCase{"IdNotUuid", registrationJson("device-1"), "invalid"},
        CreateAnswerCase{"Owner42", registrationJson(kDeviceID, std::string(42, 'o')), "invalid"},
        CreateAnswerCase{"Owner44", registrationJson(kDeviceID, std::string(44, 'o')), "invalid"},
        CreateAnswerCase{"OwnerWithLineBreak",
                         registrationJson(kDeviceID, std::string(41, 'o') + "\r\n"), "invalid"},
        CreateAnswerCase{
            "OwnerWithSpace",
            registrationJson(kDeviceID, std::string(21, 'o') + " " + std::string(21, 'o')),
            "invalid"},
        CreateAnswerCase{"OwnerNotAscii",
                         registrationJson(kDeviceID, std::string(41, 'o') + "\xc3\xa9"), "invalid"},
        CreateAnswerCase{"TooLong",
                         R"({"id":")" + std::string(kDeviceID) + R"(","owner":")" + kOwner +
                             R"(","pad":")" + std::string(4096, 'x') + R"("})",
                         "invalid"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderRegistrationTest, UnregisteringDeletesTheDeviceOnceAndForgetsIt) {
  store(fullState());
  server.script("DELETE", devicePath(), ScriptedReply(204));
  auto client = makeClient();
  EXPECT_EQ(unregisterDevice(*client), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(calls(), std::vector<std::string>{"DELETE " + devicePath()});
  EXPECT_EQ(requests[0].body, "{}");
  EXPECT_EQ(requests[0].header("authorization"), "Bearer " + kOwner);
  auto expected = fullState();
  expected.registration.reset();
  expected.issued.clear();
  EXPECT_EQ(stored(), expected);
}

struct DeleteAnswerCase {
  int status;
  std::string result;
  bool done;
};

class ReminderDeviceDeleteAnswers : public ReminderRegistrationTest,
                                    public ::testing::WithParamInterface<DeleteAnswerCase> {};

TEST_P(ReminderDeviceDeleteAnswers, GoneCountsAsDoneOtherFailuresFinishAtTheNextRegistration) {
  store(fullState());
  server.script("DELETE", devicePath(), {ScriptedReply(GetParam().status), ScriptedReply(204)});
  auto client = makeClient();
  EXPECT_EQ(unregisterDevice(*client), GetParam().result);
  EXPECT_EQ(stored()->revoking, !GetParam().done);
  EXPECT_EQ(stored()->registration.has_value(), !GetParam().done);
  EXPECT_TRUE(stored()->issued.empty());
  // The next registration finishes an unregistration left half done before anything else.
  scriptRegistration(kOtherDevice, kOtherOwner);
  EXPECT_EQ(registerDevice(*client), "ok");
  std::vector<std::string> expected{"DELETE " + devicePath()};
  if (!GetParam().done) expected.push_back("DELETE " + devicePath());
  expected.push_back("POST /base/v1/devices");
  EXPECT_EQ(calls(), expected);
  EXPECT_EQ(stored()->revoking, false);
  EXPECT_EQ(stored()->registration, (ReminderRegistration{kOtherDevice, kOtherOwner}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderDeviceDeleteAnswers,
                         ::testing::Values(DeleteAnswerCase{204, "ok", true},
                                           DeleteAnswerCase{401, "ok", true},
                                           DeleteAnswerCase{410, "ok", true},
                                           DeleteAnswerCase{404, "rejected(404)", false},
                                           DeleteAnswerCase{500, "rejected(500)", false}),
                         [](const auto& test) { return std::to_string(test.param.status); });

class ReminderRevocationAnswers : public ReminderRegistrationTest,
                                  public ::testing::WithParamInterface<DeleteAnswerCase> {};

TEST_P(ReminderRevocationAnswers, GoneCountsAsPaidOtherFailuresKeepThatRouteAndLaterOnes) {
  auto state = fullState();
  state.revocations = {routeNumber(7), routeNumber(8)};
  store(state);
  server.script("DELETE", grantPath(7), ScriptedReply(GetParam().status));
  server.script("DELETE", grantPath(8), ScriptedReply(204));
  server.script("PUT", devicePath(), ScriptedReply(200));
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), GetParam().result);
  std::vector<std::string> expected{"DELETE " + grantPath(7)};
  if (GetParam().done) {
    expected.push_back("DELETE " + grantPath(8));
    expected.push_back("PUT " + devicePath());
  }
  EXPECT_EQ(calls(), expected);
  const std::vector<std::string> pending =
      GetParam().done ? std::vector<std::string>{}
                      : std::vector<std::string>{routeNumber(7), routeNumber(8)};
  EXPECT_EQ(stored()->revocations, pending);
  const auto requests = server.requests();
  EXPECT_EQ(requests[0].header("authorization"), "Bearer " + kOwner);
  EXPECT_EQ(requests[0].body, "{}");
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderRevocationAnswers,
                         ::testing::Values(DeleteAnswerCase{204, "ok", true},
                                           DeleteAnswerCase{401, "ok", true},
                                           DeleteAnswerCase{410, "ok", true},
                                           DeleteAnswerCase{404, "rejected(404)", false},
                                           DeleteAnswerCase{500, "rejected(500)", false}),
                         [](const auto& test) { return std::to_string(test.param.status); });

TEST_F(ReminderRegistrationTest, RevocationsWaitWhileThereIsNoRegistration) {
  ReminderState state;
  state.revocations = {routeNumber(7)};
  store(state);
  scriptRegistration();
  auto client = makeClient();
  EXPECT_EQ(configure(*client), "ok");
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(stored()->revocations, std::vector<std::string>{routeNumber(7)});
}

TEST_F(ReminderRegistrationTest, UnregisteringDuringTheRegistrationPostDeletesTheNewDevice) {
  scriptRegistration();
  server.script("DELETE", devicePath(), ScriptedReply(204));
  server.hold("POST", "/base/v1/devices");
  auto client = makeClient();
  auto registration = registerLater(*client);
  ASSERT_TRUE(server.waitForHeld(1));
  EXPECT_EQ(unregisterDevice(*client), "ok");
  server.release("POST", "/base/v1/devices");
  EXPECT_EQ(outcome(registration.get()), "unavailable");
  // The device it was given is deleted again before the registration answers.
  EXPECT_EQ(calls(), (std::vector<std::string>{"POST /base/v1/devices", "DELETE " + devicePath()}));
  EXPECT_EQ(server.requests()[1].header("authorization"), "Bearer " + kOwner);
  EXPECT_EQ(stored()->registration, std::nullopt);
  EXPECT_FALSE(stored()->revoking);
}

TEST_F(ReminderRegistrationTest, RegisteringDuringAnUnregistrationKeepsTheNewRegistration) {
  store(fullState());
  server.script("DELETE", devicePath(), ScriptedReply(204));
  scriptRegistration(kOtherDevice, kOtherOwner);
  server.hold("DELETE", devicePath());
  auto client = makeClient();
  std::promise<std::exception_ptr> unregistered;
  client->unregisterDevice([&](std::exception_ptr error) { unregistered.set_value(error); });
  ASSERT_TRUE(server.waitForHeld(1));
  // The registration finishes the unregistration itself first, then registers anew.
  auto registration = registerLater(*client);
  ASSERT_TRUE(server.waitForHeld(2));
  server.release("DELETE", devicePath());
  EXPECT_EQ(outcome(unregistered.get_future().get()), "ok");
  EXPECT_EQ(outcome(registration.get()), "ok");
  EXPECT_EQ(calls(), (std::vector<std::string>{"DELETE " + devicePath(), "DELETE " + devicePath(),
                                               "POST /base/v1/devices"}));
  EXPECT_EQ(stored()->registration, (ReminderRegistration{kOtherDevice, kOtherOwner}));
  EXPECT_FALSE(stored()->revoking);
}

TEST_F(ReminderRegistrationTest, FailedSaveOfTheNewRegistrationDeletesIt) {
  scriptRegistration();
  server.script("DELETE", devicePath(), ScriptedReply(204));
  server.hold("POST", "/base/v1/devices");
  auto client = makeClient();
  auto registration = registerLater(*client);
  ASSERT_TRUE(server.waitForHeld(1));
  switches->failSaves = true;
  server.release("POST", "/base/v1/devices");
  EXPECT_EQ(outcome(registration.get()), "storage");
  EXPECT_EQ(calls(), (std::vector<std::string>{"POST /base/v1/devices", "DELETE " + devicePath()}));
}

}  // namespace
}  // namespace velmorine::reminders::testing
