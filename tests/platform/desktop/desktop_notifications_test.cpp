// Desktop notifications against a scripted notification server on a private session bus: what
// a post sends, one notification per thread, coalescing while the server has not answered,
// clicks and closes, and a server that dies or comes back.

#include "platform/desktop/desktop_notifications.h"

#include <gtest/gtest.h>

#include <QTest>
#include <memory>

#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"

namespace velmorine::platform {
namespace {

using testing::BusPeer;
using testing::Json;

class NotificationsOnBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
    server = std::make_unique<BusPeer>("notifications", bus.address());
    ASSERT_TRUE(server->start());
    make();
  }

  void make(std::size_t capacity = 256) {
    DesktopNotifications::Options options;
    options.applicationName = "Velmorine";
    options.desktopEntry = "org.example.Test";
    options.capacity = capacity;
    notifications = std::make_unique<DesktopNotifications>(bus.connect(), options);
    notifications->onAction = [this](const std::string& thread, const std::string& action) {
      actions.push_back(thread + " " + action);
    };
  }

  static NotificationContent content(std::string thread, std::string body = "New message") {
    return {thread, "Peer " + thread, std::move(body), "im.received", "Open"};
  }

  // Waits until every Notify was answered.
  bool settled() {
    return QTest::qWaitFor([&] { return notifications->unanswered() == 0; }, 20000);
  }

  // Posts and waits for the server's record of it.
  Json postOne(NotificationContent posted) {
    const size_t from = server->mark();
    notifications->post(std::move(posted));
    const auto seen = server->awaitEvents("notify", 1, from);
    EXPECT_TRUE(settled());
    return seen.empty() ? Json() : seen.front();
  }

  testing::PrivateBus bus;
  std::unique_ptr<BusPeer> server;
  std::unique_ptr<DesktopNotifications> notifications;
  std::vector<std::string> actions;
};

TEST_F(NotificationsOnBus, APostCarriesItsTextsHintsAndTheDefaultAction) {
  const auto seen = postOne(content("a", "Nachricht"));
  EXPECT_EQ(seen["app"], "Velmorine");
  EXPECT_EQ(seen["summary"], "Peer a");
  EXPECT_EQ(seen["body"], "Nachricht");
  EXPECT_EQ(seen["replaces"], 0);
  EXPECT_EQ(seen["actions"], (Json{"default", "Open"}));
  EXPECT_EQ(seen["hints"]["desktop-entry"], "org.example.Test");
  EXPECT_EQ(seen["hints"]["category"], "im.received");
  EXPECT_EQ(seen["hints"]["sound-name"], "message-new-instant");
  EXPECT_EQ(seen["timeout"], -1);
}

TEST_F(NotificationsOnBus, EachThreadShowsOneNotificationThatTheNextPostReplaces) {
  const auto first = postOne(content("a"));
  const auto other = postOne(content("b"));
  const auto second = postOne(content("a", "again"));
  EXPECT_EQ(other["replaces"], 0);
  EXPECT_EQ(second["replaces"], first["id"]);
  EXPECT_EQ(notifications->remembered(), 2u);
}

TEST_F(NotificationsOnBus, PostsWhileTheServerHasNotAnsweredCoalesceIntoTheNewest) {
  ASSERT_TRUE(server->ask({{"op", "stall"}, {"on", true}}, "stalled"));
  const size_t from = server->mark();
  notifications->post(content("a", "one"));
  ASSERT_EQ(server->awaitEvents("notify", 1, from).size(), 1u);
  notifications->post(content("a", "two"));
  notifications->post(content("a", "three"));
  EXPECT_EQ(notifications->unanswered(), 1u);

  server->send({{"op", "release"}});
  const auto seen = server->awaitEvents("notify", 2, from);
  ASSERT_TRUE(settled());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1]["body"], "three");
  EXPECT_EQ(seen[1]["replaces"], seen[0]["id"]);
  EXPECT_EQ(server->events("notify", from).size(), 2u);
}

TEST_F(NotificationsOnBus, AClickReachesItsThreadUntilTheNotificationIsClosed) {
  const auto seen = postOne(content("a"));
  server->send({{"op", "invoke"}, {"id", seen["id"]}, {"action", "default"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !actions.empty(); }, 20000));
  EXPECT_EQ(actions, (std::vector<std::string>{"a default"}));

  server->send({{"op", "close"}, {"id", seen["id"]}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return notifications->remembered() == 0; }, 20000));
  // An id the server hands out for the next post of the thread is new, not a replacement.
  EXPECT_EQ(postOne(content("a"))["replaces"], 0);
}

TEST_F(NotificationsOnBus, SignalsOfNotificationsItDidNotPostAreIgnored) {
  postOne(content("a"));
  const auto mark = server->mark();
  server->send({{"op", "invoke"}, {"id", 999}, {"action", "default"}});
  server->awaitEvents("invoked", 1, mark);
  // A click it knows, sent after the stranger's, arrives after it.
  server->send({{"op", "invoke"}, {"id", 1}, {"action", "default"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !actions.empty(); }, 20000));
  EXPECT_EQ(actions, (std::vector<std::string>{"a default"}));
}

TEST_F(NotificationsOnBus, TheOldestRememberedNotificationGoesFirst) {
  make(2);
  const auto first = postOne(content("a"));
  postOne(content("b"));
  postOne(content("c"));
  EXPECT_EQ(notifications->remembered(), 2u);
  // The first one's thread no longer knows it: its next post does not replace it.
  EXPECT_EQ(postOne(content("a"))["replaces"], 0);
}

TEST_F(NotificationsOnBus, ClosingAllClosesEveryRememberedNotification) {
  postOne(content("a"));
  postOne(content("b"));
  const size_t from = server->mark();
  notifications->closeAll();
  EXPECT_EQ(server->awaitEvents("closeRequest", 2, from).size(), 2u);
  EXPECT_TRUE(QTest::qWaitFor([&] { return notifications->remembered() == 0; }, 20000));
}

TEST_F(NotificationsOnBus, AServerThatDiedCostsNothingAndANewOneGetsTheNextPost) {
  postOne(content("a"));
  bool answered = false;
  bool asked = false;
  notifications->queryServer([&](bool ok) {
    answered = ok;
    asked = true;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return asked; }, 20000));
  EXPECT_TRUE(answered);

  server->kill();
  notifications->post(content("a", "lost"));
  EXPECT_TRUE(settled());
  asked = false;
  notifications->queryServer([&](bool ok) {
    answered = ok;
    asked = true;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return asked; }, 20000));
  EXPECT_FALSE(answered);

  server = std::make_unique<BusPeer>("notifications", bus.address());
  ASSERT_TRUE(server->start());
  const auto seen = postOne(content("a", "found"));
  EXPECT_EQ(seen["body"], "found");
  EXPECT_EQ(seen["replaces"], 0);
}

TEST(NotificationsWithoutABus, PostsAndQueriesAreAnsweredAsFailed) {
  DesktopNotifications notifications(QDBusConnection("not connected"), {});
  notifications.post({"a", "Peer a", "one", "im.received", "Open"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.unanswered() == 0; }, 20000));
  // The thread is not left waiting for an answer that never comes.
  notifications.post({"a", "Peer a", "two", "im.received", "Open"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.unanswered() == 0; }, 20000));
  std::optional<bool> answered;
  notifications.queryServer([&](bool ok) { answered = ok; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return answered.has_value(); }, 20000));
  EXPECT_FALSE(*answered);
}

}  // namespace
}  // namespace velmorine::platform
