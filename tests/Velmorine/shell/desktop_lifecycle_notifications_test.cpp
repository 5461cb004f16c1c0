// Notifications of incoming messages and files as the notification server receives them, and
// where clicks on local and remote notifications lead.

#include <gtest/gtest.h>

#include "tests/Velmorine/shell/lifecycle_fixture.h"

namespace velmorine::shell::testing {
namespace {

class Notifications : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    lifecycle->attach(*model);
    lifecycle->applicationStateChanged(Qt::ApplicationInactive);
  }

  // Applies the snapshot and waits for `count` Notify calls it caused.
  std::vector<Json> applyAndAwait(runtime::RuntimeSnapshot snapshot, size_t count) {
    const size_t from = server->mark();
    model->apply(std::move(snapshot));
    return server->awaitEvents("notify", count, from);
  }

  // Applies the snapshot; the Notify calls it caused, seen once a post made after it arrived.
  std::vector<Json> applyQuietly(runtime::RuntimeSnapshot snapshot) {
    const size_t from = server->mark();
    model->apply(std::move(snapshot));
    lifecycle->notifications().post({"marker", "marker", "", "", ""});
    [[maybe_unused]] const bool marked = QTest::qWaitFor(
        [&] {
          const auto all = server->events("notify", from);
          return !all.empty() && all.back()["summary"] == "marker";
        },
        20000);
    std::vector<Json> caused;
    for (const auto& notify : server->events("notify", from)) {
      if (notify["summary"] != "marker") caused.push_back(notify);
    }
    return caused;
  }

  const std::string ann = newID();
  const std::string bob = newID();
};

TEST_F(Notifications, AMessageWhileInactiveGivesOneNotificationThatTheNextReplaces) {
  const auto first = incoming(ann);
  auto seen = applyAndAwait(
      snapshotWith({uuidPeer(ann, "Ann"), uuidPeer(bob, "Bob")}, {first}, true, "ja"), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["summary"], "Ann");
  EXPECT_EQ(seen[0]["body"], text("notifications.message", "ja"));
  EXPECT_NE(seen[0]["body"], text("notifications.message", "en"));
  EXPECT_EQ(seen[0]["hints"]["category"], "im.received");
  EXPECT_EQ(seen[0]["hints"]["desktop-entry"], kIdentifier);
  EXPECT_EQ(seen[0]["actions"][1], text("menu.open", "ja"));
  EXPECT_EQ(seen[0]["replaces"], 0);

  auto next = applyAndAwait(snapshotWith({uuidPeer(ann, "Ann"), uuidPeer(bob, "Bob")},
                                         {first, incoming(ann)}, true, "ja"),
                            1);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0]["replaces"], seen[0]["id"]);
}

TEST_F(Notifications, AFileOfferIsNotifiedAsATransfer) {
  auto snapshot = snapshotWith({uuidPeer(ann, "Ann")});
  snapshot.transfers = {
      workspace::testing::transferOf(newID(), ann, transfer::TransferState::pending)};
  const auto seen = applyAndAwait(snapshot, 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["body"], text("notifications.file", "en"));
  EXPECT_EQ(seen[0]["hints"]["category"], "transfer");
}

// The hooks run before the model keeps the snapshot: what they read must be the snapshot's own.
TEST_F(Notifications, TheSnapshotThatTurnsNotificationsOnOrChangesTheLanguageIsItsOwnJudge) {
  // The model still holds its placeholder: notifications off, the system's language.
  const auto seen =
      applyAndAwait(snapshotWith({uuidPeer(ann, "Ann")}, {incoming(ann)}, true, "ru"), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["body"], text("notifications.message", "ru"));

  // And the snapshot that turns them off is not notified, though the model's were on.
  EXPECT_TRUE(
      applyQuietly(snapshotWith({uuidPeer(ann, "Ann")}, {incoming(ann)}, false, "ru")).empty());
}

TEST_F(Notifications, InFrontOnlyAConversationTheUserIsNotReadingIsNotified) {
  lifecycle->applicationStateChanged(Qt::ApplicationActive);
  settle();
  model->apply(snapshotWith({uuidPeer(ann, "Ann"), uuidPeer(bob, "Bob")}));
  model->setSelectedPeerID(ann);
  const auto seen = applyQuietly(
      snapshotWith({uuidPeer(ann, "Ann"), uuidPeer(bob, "Bob")}, {incoming(ann), incoming(bob)}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["summary"], "Bob");
}

TEST_F(Notifications, AClickSelectsRevealsAndClearsTheUnreadCount) {
  int reveals = 0;
  model->revealWorkspace = [&] { ++reveals; };
  const auto seen =
      applyAndAwait(snapshotWith({uuidPeer(ann, "Ann"), uuidPeer(bob, "Bob")}, {incoming(ann)}), 1);
  ASSERT_EQ(model->unread().at(ann), 1);
  server->send({{"op", "invoke"}, {"id", seen[0]["id"]}, {"action", "default"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->selectedPeerID() == ann; }, 20000));
  EXPECT_EQ(reveals, 1);
  EXPECT_TRUE(model->workspaceVisible());
  EXPECT_FALSE(model->unread().contains(ann));
}

struct IgnoredClick {
  const char* name;
  bool blocked;
  bool keyChanged;
  const char* id;  // null: a fresh UUID
  const char* action;
};

class IgnoredClicks : public Notifications, public ::testing::WithParamInterface<IgnoredClick> {};

TEST_P(IgnoredClicks, SelectNothing) {
  const std::string id = GetParam().id ? GetParam().id : newID();
  auto target = uuidPeer(id, "Target");
  target.blocked = GetParam().blocked;
  target.keyChanged = GetParam().keyChanged;
  // A known peer clicked afterwards shows that the click under test was handled.
  const auto seen =
      applyAndAwait(snapshotWith({target, uuidPeer(bob, "Bob")}, {incoming(id), incoming(bob)}), 2);
  ASSERT_EQ(seen.size(), 2u);
  const bool targetFirst = seen[0]["summary"] == "Target";
  const Json& ofTarget = seen[targetFirst ? 0 : 1];
  const Json& ofBob = seen[targetFirst ? 1 : 0];
  server->send({{"op", "invoke"}, {"id", ofTarget["id"]}, {"action", GetParam().action}});
  server->send({{"op", "invoke"}, {"id", ofBob["id"]}, {"action", "default"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->selectedPeerID() == bob; }, 20000));
  EXPECT_TRUE(model->unread().contains(id));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IgnoredClicks,
    ::testing::Values(IgnoredClick{"blocked", true, false, nullptr, "default"},
                      IgnoredClick{"keyChanged", false, true, nullptr, "default"},
                      IgnoredClick{"notAUuid", false, false, "peer-one", "default"},
                      IgnoredClick{"otherAction", false, false, nullptr, "reply"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Notifications, ARemoteRouteWhoseContactAppearsLaterNavigatesOnce) {
  lifecycle->notificationResponse(std::nullopt, newID(), "default");
  ASSERT_EQ(push->routes.size(), 1u);
  push->routes[0](ann);
  EXPECT_EQ(lifecycle->pendingRemoteContact(), ann);

  model->apply(snapshotWith({uuidPeer(bob, "Bob")}));
  settle();
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);
  model->apply(snapshotWith({uuidPeer(bob, "Bob"), uuidPeer(ann, "Ann")}));
  settle();
  EXPECT_EQ(model->selectedPeerID(), ann);
  EXPECT_EQ(lifecycle->pendingRemoteContact(), std::nullopt);

  model->setSelectedPeerID(bob);
  model->apply(snapshotWith({uuidPeer(bob, "Bob"), uuidPeer(ann, "Ann")}));
  settle();
  EXPECT_EQ(model->selectedPeerID(), bob);
}

TEST_F(Notifications, ARouteWithoutAContactFallsBackToTheNotificationsPeer) {
  model->apply(snapshotWith({uuidPeer(ann, "Ann")}));
  lifecycle->notificationResponse(ann, newID(), "default");
  ASSERT_EQ(push->routes.size(), 1u);
  push->routes[0](std::nullopt);
  EXPECT_EQ(model->selectedPeerID(), ann);

  // A contact text that is not a UUID is ignored.
  lifecycle->notificationResponse(std::nullopt, newID(), "default");
  push->routes[1]("not-a-uuid");
  EXPECT_EQ(lifecycle->pendingRemoteContact(), std::nullopt);
}

}  // namespace
}  // namespace velmorine::shell::testing
