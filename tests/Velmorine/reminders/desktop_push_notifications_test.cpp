// The push registration with a push provider of the test's own and the real reminder client
// against the scripted service.

#include "Velmorine/reminders/desktop_push_notifications.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "tests/Velmorine/reminders/reminder_service_fixture.h"
#include "tests/Velmorine/reminders/test_push_provider.h"

namespace velmorine::reminders::testing {
namespace {

class PushTest : public ReminderServiceTest {
 public:
  // Public for the steps of the table below.
  void start(std::shared_ptr<platform::PushProvider> system = nullptr,
             std::optional<std::string> base = {}) {
    client = std::shared_ptr<ReminderServiceClient>(makeClient(base));
    push = DesktopPushNotifications::create(queue, client, system ? system : provider);
    on([&] {
      push->language = "de";
      push->onStatus = [this](const std::string& status) {
        std::lock_guard lock(mutex);
        statuses.push_back(status);
        changed.notify_all();
      };
      push->onRegistrationChanged = [this] {
        std::lock_guard lock(mutex);
        ++registrationChanges;
        changed.notify_all();
      };
    });
  }
  ~PushTest() override {
    on([&] { push.reset(); });
  }

  void want(bool wanted) {
    on([&] { push->setDesired(wanted); });
  }
  void turnOff() {
    on([&] { push->disable(); });
  }
  // Runs `work` on the push registration's queue and waits for it.
  void on(const std::function<void()>& work) { queue.sync(work); }
  // Lets whatever the queue was given so far run.
  void settle() {
    queue.sync([] {});
  }

  // Waits until `count` statuses were shown; all of them.
  std::vector<std::string> statusesAfter(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kPatience, [&] { return statuses.size() >= count; });
    return statuses;
  }
  // Waits until `count` registration changes were reported; how many were.
  int changesAfter(int count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kPatience, [&] { return registrationChanges >= count; });
    return registrationChanges;
  }
  // Waits until the registration loop has ended.
  void loopEnded() {
    bool running = true;
    for (auto deadline = std::chrono::steady_clock::now() + kPatience;
         running && std::chrono::steady_clock::now() < deadline;) {
      on([&] { running = push->registering(); });
      if (running) std::this_thread::yield();
    }
    EXPECT_FALSE(running);
  }
  void token(std::vector<uint8_t> bytes) {
    provider->deliverToken(std::move(bytes));
    settle();
  }
  ReminderState registeredState() const {
    ReminderState state;
    state.registration = ReminderRegistration{kDeviceID, kOwner};
    return state;
  }

  platform::SerialQueue queue{"test.main"};
  std::shared_ptr<TestPushProvider> provider = std::make_shared<TestPushProvider>();
  std::shared_ptr<ReminderServiceClient> client;
  std::shared_ptr<DesktopPushNotifications> push;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> statuses;
  int registrationChanges = 0;
};

using Statuses = std::vector<std::string>;

TEST_F(PushTest, WantedWithoutAServiceIsUnconfiguredAndAsksTheSystemForNothing) {
  start(nullptr, "");
  on([&] { push->setDesired(true); });
  EXPECT_EQ(statusesAfter(1), Statuses{kPushUnconfigured});
  on([&] { push->setDesired(false); });
  EXPECT_EQ(statusesAfter(2), (Statuses{kPushUnconfigured, kPushOff}));
  EXPECT_EQ(provider->registrations, 0);
}

TEST_F(PushTest, TokenIsRegisteredWithTheApplicationsLanguage) {
  scriptRegistration();
  start();
  on([&] { push->setDesired(true); });
  EXPECT_EQ(statusesAfter(1), Statuses{kPushRegistering});
  settle();
  EXPECT_EQ(provider->registrations, 1);
  token({0x01, 0x0a, 0xff});
  EXPECT_EQ(statusesAfter(2), (Statuses{kPushRegistering, kPushReady}));
  EXPECT_EQ(changesAfter(1), 1);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(requests[0].body),
            (nlohmann::json{{"token", "010aff"}, {"locale", "de"}}));
}

TEST_F(PushTest, TurnedOffBeforeTheTokenCameTheLateTokenIsIgnoredAndTheDeviceUnregistered) {
  store(registeredState());
  server.script("DELETE", devicePath(), ScriptedReply(204));
  start();
  on([&] {
    push->setDesired(true);
    push->disable();
  });
  EXPECT_EQ(statusesAfter(1), Statuses{kPushOff});
  EXPECT_EQ(provider->unregistrations, 1);
  token({0x01});
  EXPECT_EQ(calls(), Statuses{"DELETE " + devicePath()});
  EXPECT_EQ(changesAfter(1), 1);
}

TEST_F(PushTest, TokensArrivingDuringARegistrationLeadToOneMoreWithTheNewest) {
  scriptRegistration();
  server.script("PUT", devicePath(), ScriptedReply(200));
  server.hold("POST", "/base/v1/devices");
  start();
  on([&] { push->setDesired(true); });
  token({0x01});
  ASSERT_TRUE(server.waitForHeld(1));
  token({0x02});
  token({0x03});
  server.release("POST", "/base/v1/devices");
  EXPECT_EQ(statusesAfter(3), (Statuses{kPushRegistering, kPushReady, kPushReady}));
  loopEnded();
  EXPECT_EQ(calls(), (Statuses{"POST /base/v1/devices", "PUT " + devicePath()}));
  EXPECT_EQ(nlohmann::json::parse(server.requests()[1].body)["token"], "03");
  EXPECT_EQ(changesAfter(2), 2);
}

TEST_F(PushTest, RegistrationAnsweredAfterDisablingLeavesTheUnregistrationsStatus) {
  scriptRegistration();
  server.script("DELETE", devicePath(), ScriptedReply(204));
  server.hold("POST", "/base/v1/devices");
  start();
  on([&] { push->setDesired(true); });
  token({0x01});
  ASSERT_TRUE(server.waitForHeld(1));
  on([&] { push->disable(); });
  EXPECT_EQ(statusesAfter(2), (Statuses{kPushRegistering, kPushOff}));
  server.release("POST", "/base/v1/devices");
  loopEnded();
  EXPECT_EQ(statusesAfter(2), (Statuses{kPushRegistering, kPushOff}));
  // The device the late registration made is deleted again.
  EXPECT_EQ(calls(), (Statuses{"POST /base/v1/devices", "DELETE " + devicePath()}));
}

TEST_F(PushTest, WantedAgainWhileReadyKeepsTheStatusAndAsksTheSystemAgain) {
  scriptRegistration();
  start();
  on([&] { push->setDesired(true); });
  token({0x01});
  ASSERT_EQ(statusesAfter(2), (Statuses{kPushRegistering, kPushReady}));
  on([&] { push->setDesired(true); });
  settle();
  EXPECT_EQ(provider->registrations, 2);
  EXPECT_EQ(statuses, (Statuses{kPushRegistering, kPushReady}));
}

TEST_F(PushTest, EmptyTokenIsIgnored) {
  start();
  on([&] { push->setDesired(true); });
  token({});
  on([&] { EXPECT_FALSE(push->registering()); });
  EXPECT_TRUE(server.requests().empty());
}

struct FailureCase {
  const char* name;
  bool registered;
  std::function<void(PushTest&)> steps;
  Statuses expected;
};

class PushFailures : public PushTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PushFailures, EndInAStatusNeverInAnError) {
  if (GetParam().registered) store(registeredState());
  server.script("POST", "/base/v1/devices", ScriptedReply(500));
  server.script("DELETE", devicePath(), ScriptedReply(500));
  start();
  GetParam().steps(*this);
  EXPECT_EQ(statusesAfter(GetParam().expected.size()), GetParam().expected);
  settle();
  EXPECT_EQ(changesAfter(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PushFailures,
                         ::testing::Values(FailureCase{"ServiceRefusesTheToken",
                                                       false,
                                                       [](PushTest& fixture) {
                                                         fixture.want(true);
                                                         fixture.token({0x01});
                                                       },
                                                       {kPushRegistering, kPushUnavailable}},
                                           FailureCase{"SystemRefusesToRegister",
                                                       false,
                                                       [](PushTest& fixture) {
                                                         fixture.want(true);
                                                         fixture.provider->deliverFailure();
                                                       },
                                                       {kPushRegistering, kPushUnavailable}},
                                           FailureCase{"UnregistrationFails",
                                                       true,
                                                       [](PushTest& fixture) { fixture.turnOff(); },
                                                       {kPushRevokePending}},
                                           FailureCase{
                                               "NotWantedAndUnregistrationFails",
                                               true,
                                               [](PushTest& fixture) { fixture.want(false); },
                                               {kPushRevokePending}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(PushTest, WithoutASystemPushServiceTheStatusIsUnavailable) {
  start(platform::system_push_provider());
  on([&] { push->setDesired(true); });
  EXPECT_EQ(statusesAfter(2), (Statuses{kPushRegistering, kPushUnavailable}));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(PushTest, RouteOfATappedNotificationNamesItsContact) {
  auto state = registeredState();
  state.issued["contact-1"] = BoundReminderGrant{grantNumber(1), "contact-1", {1}};
  store(state);
  start();
  bool answeredAtOnce = false;
  on([&] {
    push->contactForRoute("not-a-route",
                          [&](std::optional<std::string> contact) { answeredAtOnce = !contact; });
  });
  EXPECT_TRUE(answeredAtOnce);
  const auto lookUp = [&](const std::string& route) {
    std::promise<std::optional<std::string>> answer;
    on([&] {
      push->contactForRoute(route,
                            [&](std::optional<std::string> contact) { answer.set_value(contact); });
    });
    return answer.get_future().get();
  };
  EXPECT_EQ(lookUp(routeNumber(1)), "contact-1");
  EXPECT_EQ(lookUp(routeNumber(2)), std::nullopt);
}

}  // namespace
}  // namespace velmorine::reminders::testing
