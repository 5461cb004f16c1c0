// Attaching the lifecycle to the model, the launcher badge, sleep, wake and power-off from the
// login manager, activation, and re-opening from another process.

#include "Velmorine/shell/desktop_lifecycle.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include "Velmorine/shell/launcher_count.h"
#include "tests/Velmorine/shell/lifecycle_fixture.h"

namespace velmorine::shell::testing {
namespace {

using workspace::testing::FakePreparation;

class Lifecycle : public LifecycleFixture {};

TEST_F(Lifecycle, AttachesOnceAndKeepsTheApplicationWithoutWindows) {
  EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
  lifecycle->attach(*model);
  auto other = makeModel();
  lifecycle->attach(*other);
  EXPECT_TRUE(model->incomingNotification);
  EXPECT_FALSE(other->incomingNotification);
  EXPECT_FALSE(other->unreadChanged);
  // The model's login item and notification status were read once.
  EXPECT_EQ(lifecycle->loginStatus(), kStartupDisabled);
  EXPECT_EQ(server->awaitEvents("capabilities", 1).size(), 1u);
}

struct BadgeCase {
  const char* name;
  std::map<std::string, std::int64_t> unread;
  bool notifications;
  std::int64_t count;
  bool visible;
};

class LauncherBadges : public LifecycleFixture, public ::testing::WithParamInterface<BadgeCase> {};

TEST_P(LauncherBadges, FollowTheUnreadCounts) {
  lifecycle->attach(*model);
  auto snapshot = snapshotWith({});
  snapshot.preferences.notificationsEnabled = GetParam().notifications;
  model->apply(snapshot);
  model->setUnread(GetParam().unread);
  // Only what changes is sent: the last update is what the dock shows.
  [[maybe_unused]] const bool shown = QTest::qWaitFor(
      [&] {
        const auto updates = dock->events("update");
        return !updates.empty() && updates.back()["count"] == GetParam().count &&
               updates.back()["visible"] == GetParam().visible;
      },
      20000);
  const auto updates = dock->events("update");
  ASSERT_FALSE(updates.empty());
  EXPECT_EQ(updates.back()["uri"], "application://org.example.Test.desktop");
  EXPECT_EQ(updates.back()["count"], GetParam().count);
  EXPECT_EQ(updates.back()["visible"], GetParam().visible);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, LauncherBadges,
    ::testing::Values(BadgeCase{"manyAbove999", {{"a", 5}, {"b", 2000}}, true, 1000, true},
                      BadgeCase{"seven", {{"a", 3}, {"b", 4}}, true, 7, true},
                      BadgeCase{"negative", {{"a", -2}}, true, 0, false},
                      BadgeCase{"none", {}, true, 0, false},
                      BadgeCase{"notificationsOff", {{"a", 3}, {"b", 4}}, false, 0, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(LauncherLabels, ShowTheCountOr999Plus) {
  EXPECT_EQ(launcherLabel(7), "7");
  EXPECT_EQ(launcherLabel(999), "999");
  EXPECT_EQ(launcherLabel(1000), "999+");
}

class PowerEvents : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    lifecycle->attach(*model);
    ASSERT_EQ(logind->awaitEvents("inhibit", 1).size(), 1u);
  }

  // Announces and waits until the runtime was asked `calls` things since `from`.
  std::vector<std::string> announce(const char* op, bool start, size_t calls = 1) {
    const size_t from = runtime->calls.size();
    logind->send({{"op", op}, {"start", start}});
    [[maybe_unused]] const bool asked =
        QTest::qWaitFor([&] { return runtime->calls.size() >= from + calls; }, 20000);
    return {runtime->calls.begin() + static_cast<std::ptrdiff_t>(from), runtime->calls.end()};
  }
};

TEST_F(PowerEvents, SleepSuspendsAndWakeResumes) {
  EXPECT_EQ(announce("sleep", true), (std::vector<std::string>{"suspend"}));
  EXPECT_EQ(announce("sleep", false), (std::vector<std::string>{"resume"}));
  EXPECT_FALSE(lifecycle->systemEnding());
}

TEST_F(PowerEvents, PowerOffStopsThePreparationAndAWakeAfterItStaysDown) {
  current().prepare();
  EXPECT_EQ(announce("shutdown", true), (std::vector<std::string>{"suspend"}));
  EXPECT_TRUE(lifecycle->systemEnding());
  EXPECT_FALSE(current().prepared());
  EXPECT_EQ(current().error(), transfer::ContentFailure::Case::cancelled);

  // A wake, then a sleep whose suspension shows that the wake was handled: nothing resumed.
  logind->send({{"op", "sleep"}, {"start", false}});
  EXPECT_EQ(announce("sleep", true), (std::vector<std::string>{"suspend"}));
}

TEST_F(Lifecycle, ActivationFollowsTheApplicationState) {
  lifecycle->attach(*model);
  lifecycle->applicationStateChanged(Qt::ApplicationInactive);
  EXPECT_FALSE(model->applicationActive);

  const auto id = newID();
  model->apply(snapshotWith({uuidPeer(id, "Ann")}));
  model->setSelectedPeerID(id);
  model->setUnread({{id, 2}});
  statusQuiet();
  runtime->calls.clear();
  const size_t from = server->mark();
  lifecycle->applicationStateChanged(Qt::ApplicationActive);
  // The rest runs in a later turn of the main queue.
  EXPECT_FALSE(model->applicationActive);
  settle();
  EXPECT_TRUE(model->applicationActive);
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"refreshDeviceName"}));
  EXPECT_TRUE(model->unread().empty());
  server->awaitEvents("capabilities", 1, from);
  statusQuiet();
  EXPECT_EQ(server->events("capabilities", from).size(), 1u);
}

TEST_F(Lifecycle, AnotherProcessReopensTheWorkspaceWhateverIsVisible) {
  lifecycle->attach(*model);
  int reveals = 0;
  model->revealWorkspace = [&] { ++reveals; };
  model->setWorkspaceVisible(false);
  // The program's entry claims the bus name on the connection the lifecycle exports on.
  ASSERT_TRUE(lifecycleSession->registerService(kIdentifier));

  BusPeer other("activate", session.address(), {kIdentifier});
  ASSERT_TRUE(other.launch());
  const auto done = other.awaitEvents("activated", 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]["ok"], true);
  EXPECT_EQ(reveals, 1);
  EXPECT_TRUE(model->workspaceVisible());
}

}  // namespace
}  // namespace velmorine::shell::testing
