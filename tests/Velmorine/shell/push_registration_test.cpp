// The lifecycle's push registration over the real one: a test push service, the real reminder
// client and the scripted reminder service.

#include "Velmorine/shell/push_registration.h"

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/reminder_service_fixture.h"
#include "tests/Velmorine/reminders/test_push_provider.h"
#include "tests/Velmorine/shell/lifecycle_fixture.h"

namespace velmorine::shell::testing {
namespace {

using reminders::testing::grantNumber;
using reminders::testing::routeNumber;

// The reminder service and the client's keychain of the reminder tests, as a part of this
// test.
class ReminderService : public reminders::testing::ReminderServiceTest {
 public:
  void TestBody() override {}
  using ReminderServiceTest::calls;
  using ReminderServiceTest::makeClient;
  using ReminderServiceTest::scriptRegistration;
  using ReminderServiceTest::server;
  using ReminderServiceTest::store;
  reminders::ReminderState registered() const {
    reminders::ReminderState state;
    state.registration =
        reminders::ReminderRegistration{reminders::testing::kDeviceID, reminders::testing::kOwner};
    return state;
  }
};

class PushGlue : public LifecycleFixture {
 protected:
  std::shared_ptr<PushRegistration> pushRegistration() override {
    return std::make_shared<QueuedPushRegistration>(
        std::shared_ptr<reminders::ReminderServiceClient>(service.makeClient()), provider,
        workspace::postToMainQueue);
  }

  ReminderService service;
  std::shared_ptr<reminders::testing::TestPushProvider> provider =
      std::make_shared<reminders::testing::TestPushProvider>();
};

TEST_F(PushGlue, NotificationsOnRegisterTheSystemsTokenAndReconfigureReminders) {
  service.scriptRegistration();
  lifecycle->attach(*model);
  model->apply(snapshotWith({}, {}, true, "ja"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return provider->registrations >= 1; }, 20000));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return lifecycle->pushNotificationStatus() == "notifications.push.registering"; },
      20000));

  runtime->calls.clear();
  provider->deliverToken({0x01, 0x02});
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return lifecycle->pushNotificationStatus() == "notifications.push.ready"; }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !runtime->calls.empty(); }, 20000));
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"configureReminders"}));
  const auto requests = service.server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto body = nlohmann::json::parse(requests[0].body);
  EXPECT_EQ(body["token"], "0102");
  EXPECT_EQ(body["locale"], "ja");
}

TEST_F(PushGlue, TheSystemRefusingToRegisterShowsPushUnavailable) {
  service.scriptRegistration();
  lifecycle->attach(*model);
  model->apply(snapshotWith({}, {}, true));
  // The system refuses every request; the lifecycle may ask more than once while it settles.
  int answered = 0;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        if (provider->registrations > answered) {
          answered = provider->registrations;
          provider->deliverFailure();
          return false;
        }
        return answered > 0 &&
               lifecycle->pushNotificationStatus() == "notifications.push.unavailable";
      },
      20000));
}

TEST_F(PushGlue, ARoutedClickWhoseContactAppearsLaterNavigatesOnce) {
  const auto ann = newID();
  auto state = service.registered();
  state.issued[ann] = reminders::BoundReminderGrant{grantNumber(1), ann, {1}};
  service.store(state);
  lifecycle->attach(*model);
  const auto bob = newID();
  model->apply(snapshotWith({uuidPeer(bob, "Bob")}));

  lifecycle->notificationResponse(bob, routeNumber(1), "default");
  ASSERT_TRUE(QTest::qWaitFor([&] { return lifecycle->pendingRemoteContact() == ann; }, 20000));
  // The route's contact wins over the notification's own peer, and waits for its snapshot.
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);

  model->apply(snapshotWith({uuidPeer(bob, "Bob"), uuidPeer(ann, "Ann")}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->selectedPeerID() == ann; }, 20000));
  model->setSelectedPeerID(bob);
  model->apply(snapshotWith({uuidPeer(bob, "Bob"), uuidPeer(ann, "Ann")}));
  settle();
  EXPECT_EQ(model->selectedPeerID(), bob);

  // An unknown route falls back to the notification's peer.
  lifecycle->notificationResponse(ann, routeNumber(2), "default");
  EXPECT_TRUE(QTest::qWaitFor([&] { return model->selectedPeerID() == ann; }, 20000));
}

}  // namespace
}  // namespace velmorine::shell::testing
