// The login item and notification status the settings window shows, and the push
// registration's wanted state that follows them.

#include <gtest/gtest.h>

#include "tests/Velmorine/shell/lifecycle_fixture.h"

namespace velmorine::shell::testing {
namespace {

class Status : public LifecycleFixture {
 protected:
  // Runs a refresh and waits until every status query so far was answered and handled.
  void refresh(bool serverAnswers = true) {
    const size_t before = statusAnswers;
    const size_t from = server->mark();
    lifecycle->refreshStatus();
    if (serverAnswers) {
      server->awaitEvents("capabilities", 1, from);
      statusQuiet();
    } else {
      EXPECT_TRUE(QTest::qWaitFor([&] { return statusAnswers > before; }, 20000));
      settle();
    }
  }

  std::filesystem::path entryPath() const {
    return config.path() / "autostart" / "org.example.Test.LoginHelper.desktop";
  }
};

TEST_F(Status, TheLoginItemIsSwitchedOnAndOff) {
  lifecycle->attach(*model);
  lifecycle->setLaunchAtLogin(true);
  EXPECT_EQ(lifecycle->loginStatus(), kStartupEnabled);
  EXPECT_TRUE(std::filesystem::exists(entryPath()));
  lifecycle->setLaunchAtLogin(false);
  EXPECT_EQ(lifecycle->loginStatus(), kStartupDisabled);
  EXPECT_FALSE(std::filesystem::exists(entryPath()));
  EXPECT_EQ(model->settingsErrorKey(), std::nullopt);
}

TEST_F(Status, WithoutTheHelperTheItemCannotBeEnabledButCanStillBeRemoved) {
  lifecycle->attach(*model);
  lifecycle->setLaunchAtLogin(true);
  std::filesystem::remove(helper);
  lifecycle->refreshStatus();
  EXPECT_EQ(lifecycle->loginStatus(), kStartupUnavailable);

  lifecycle->setLaunchAtLogin(true);
  EXPECT_EQ(model->settingsErrorKey(), kStartupFailed);
  model->setSettingsErrorKey(std::nullopt);

  lifecycle->setLaunchAtLogin(false);
  EXPECT_EQ(model->settingsErrorKey(), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(entryPath()));
}

TEST_F(Status, AnAnsweringServerMeansNotificationsAreAllowedAndPushIsWantedWhenOn) {
  lifecycle->attach(*model);
  refresh();
  EXPECT_EQ(lifecycle->notificationStatus(), kNotificationsEnabled);
  // No snapshot yet: the push registration is left alone.
  EXPECT_TRUE(push->calls.empty());

  auto snapshot = snapshotWith({}, {}, true, "ko");
  model->apply(snapshot);
  refresh();
  EXPECT_EQ(push->calls.back(), "desired true ko");

  snapshot.preferences.notificationsEnabled = false;
  snapshot.preferences.language = "system";
  model->apply(snapshot);
  refresh();
  EXPECT_EQ(push->calls.back(), "desired false en");
}

TEST_F(Status, WithoutAServerNotificationsAreUnknownAndPushIsNotWanted) {
  lifecycle->attach(*model);
  model->apply(snapshotWith({}));
  server->kill();
  refresh(false);
  EXPECT_EQ(lifecycle->notificationStatus(), kNotificationsUnknown);
  EXPECT_EQ(push->calls.back(), "desired false en");
}

TEST_F(Status, AStorageProblemLeavesThePushRegistrationAlone) {
  lifecycle->attach(*model);
  auto snapshot = snapshotWith({});
  snapshot.status = "storage.unavailable";
  model->apply(snapshot);
  push->calls.clear();
  refresh();
  EXPECT_EQ(lifecycle->notificationStatus(), kNotificationsEnabled);
  EXPECT_TRUE(push->calls.empty());
}

TEST_F(Status, AChangedNotificationPreferenceRefreshesOncePerChange) {
  lifecycle->attach(*model);
  refresh();
  const size_t from = server->mark();
  model->apply(snapshotWith({}, {}, true));
  model->apply(snapshotWith({}, {}, true));
  model->apply(snapshotWith({}, {}, false));
  settle();
  // A marker refresh: the answers come in the order they were asked.
  refresh();
  EXPECT_EQ(server->events("capabilities", from).size(), 3u);
  EXPECT_EQ(push->calls.back(), "desired false en");
}

TEST_F(Status, AFailedPermissionRequestIsReportedAndTheStatusRead) {
  lifecycle->attach(*model);
  statusQuiet();
  server->kill();
  lifecycle->requestNotificationAuthorization();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return model->settingsErrorKey() == std::optional<std::string>(kNotificationsFailed); },
      20000));
  statusQuiet();
  EXPECT_EQ(lifecycle->notificationStatus(), kNotificationsUnknown);
}

TEST_F(Status, ThePushStatusIsMirroredAndARegistrationReconfiguresReminders) {
  lifecycle->attach(*model);
  push->onStatus("notifications.push.ready");
  EXPECT_EQ(lifecycle->pushNotificationStatus(), "notifications.push.ready");
  runtime->calls.clear();
  push->onRegistrationChanged();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"configureReminders"}));
}

}  // namespace
}  // namespace velmorine::shell::testing
