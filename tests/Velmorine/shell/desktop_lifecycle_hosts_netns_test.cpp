// The lifecycle in the whole program's place: this process is host A on a LAN of network
// namespaces, with the workspace model on its real runtime, the lifecycle on private buses with
// a scripted notification server and login manager; host B runs runtime-node. What a user
// would see: notifications of B's messages and where their clicks lead, sleep and wake, and
// power-off. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2; skips without them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>

#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/shell/lifecycle_fixture.h"
#include "tests/harness/lan_namespaces.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/harness/workspace_host.h"

namespace velmorine::shell::testing {
namespace {

using velmorine::testing::Lan;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::WorkspaceHost;

constexpr int kWait = 30000;

class LifecycleHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vlc" + std::to_string(::getpid()));
    if (!lan->create()) GTEST_SKIP() << "cannot make network namespaces and a bridge";
    ASSERT_TRUE(lan->plug("a", 1));
    ASSERT_TRUE(lan->plug("b", 2));

    ASSERT_TRUE(session.start()) << "dbus-daemon cannot run";
    ASSERT_TRUE(system.start());
    server = std::make_unique<BusPeer>("notifications", session.address());
    logind = std::make_unique<BusPeer>("logind", system.address());
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(logind->start());

    // From here this thread, and the runtime's threads it starts, are host A.
    hostA = std::make_unique<WorkspaceHost>(
        lan->ns("a"), homeA.path(), [](std::optional<std::string> recipient) {
          return std::make_shared<workspace::testing::FakePreparation>(std::move(recipient));
        });
    ASSERT_TRUE(hostA->entered());
    model = &hostA->model();
    model->revealWorkspace = [this] { ++reveals; };

    DesktopLifecycle::Environment environment(session.connect(), system.connect());
    environment.productIdentifier = "org.example.Hosts";
    environment.push = std::make_shared<FakePush>();
    environment.confirmation = confirmation;
    environment.delays = delays;
    environment.preferredLanguages = [] { return std::vector<std::string>{"en"}; };
    environment.text = text;
    environment.quitEventLoop = [this] { ++endings; };
    environment.endProcess = [this] { ++endings; };
    lifecycle = std::make_unique<DesktopLifecycle>(std::move(environment));
    lifecycle->attach(*model);
    lifecycle->applicationStateChanged(Qt::ApplicationInactive);
    ASSERT_EQ(logind->awaitEvents("inhibit", 1).size(), 1u);

    ASSERT_TRUE(hostA->start(
        [](store::AppPreferences& preferences) {
          preferences.displayName = "Host a";
          preferences.notificationsEnabled = true;
          preferences.language = "ja";
        },
        [](const runtime::RuntimeSnapshot& snapshot) {
          return snapshot.preferences.language == "ja";
        }));
    localID = hostA->localID();

    hostB.ns = lan->ns("b");
    ASSERT_NO_FATAL_FAILURE(hostB.run());
    nodeB = std::move(hostB.node);
    wireB = hostB.localID;
    ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() != nullptr && peerB()->online; }, kWait));
    contactB = peerB()->id;
    ASSERT_TRUE(nodeB->waitSnapshot([&](const Json& snapshot) {
      const Json* row = velmorine::testing::peerRow(snapshot, localID);
      return row != nullptr && (*row)["online"] == true;
    }));
  }

  void TearDown() override {
    if (nodeB) {
      EXPECT_TRUE(nodeB->stopsCleanly());
    }
    nodeB.reset();
    if (hostA) {
      EXPECT_TRUE(hostA->shutdown());
    }
    lifecycle.reset();
    model = nullptr;
    hostA.reset();
    lan.reset();
  }

  const runtime::RuntimePeer* peerB() const { return hostA->peer(wireB); }

  // B sends A a message; the Notify it brings.
  std::optional<Json> messageFromB(const std::string& text) {
    const size_t from = server->mark();
    nodeB->send({{"op", "sendText"}, {"peer", localID}, {"text", text}});
    const auto seen = server->awaitEvents("notify", 1, from);
    if (seen.empty()) return std::nullopt;
    return seen.front();
  }

  // Lets a click on the notification run: the answer to a post made after it comes after it.
  void click(const Json& notify) {
    server->ask({{"op", "invoke"}, {"id", notify["id"]}, {"action", "default"}}, "invoked");
    lifecycle->notifications().post({"marker", "marker", "", "", ""});
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          const auto notifies = server->events("notify");
          return !notifies.empty() && notifies.back()["summary"] == "marker" &&
                 lifecycle->notifications().unanswered() == 0;
        },
        kWait));
  }

  // Whether B holds an open session with A.
  bool bHoldsSessionWithA() {
    const auto sessions = nodeB->sessions();
    if (!sessions) return false;
    for (const auto& session : sessions->list) {
      if (session["peer"] == localID && session["closed"] == false) return true;
    }
    return false;
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::PrivateBus session;
  velmorine::testing::PrivateBus system;
  std::unique_ptr<BusPeer> server;
  std::unique_ptr<BusPeer> logind;
  velmorine::testing::TemporaryFolder homeA;
  std::unique_ptr<WorkspaceHost> hostA;
  workspace::WorkspaceModel* model = nullptr;
  runtime::testing::Host hostB{"b", 2};
  std::shared_ptr<ScriptedConfirmation> confirmation = std::make_shared<ScriptedConfirmation>();
  std::shared_ptr<ManualDelays> delays = std::make_shared<ManualDelays>();
  std::unique_ptr<DesktopLifecycle> lifecycle;
  std::unique_ptr<RuntimeNodeProcess> nodeB;
  std::string localID;
  std::string wireB;
  std::string contactB;
  int reveals = 0;
  int endings = 0;
};

TEST_F(LifecycleHostsNetns,
       MessagesNotifyInTheLanguageAndAClickOpensTheConversation_NeedsRootAndNamespaces) {
  const auto first = messageFromB("hello");
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["summary"], "Host b");
  EXPECT_EQ((*first)["body"], text("notifications.message", "ja"));
  EXPECT_EQ((*first)["replaces"], 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->unread().contains(contactB); }, kWait));

  const auto second = messageFromB("again");
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)["replaces"], (*first)["id"]);
  EXPECT_EQ(model->unread().at(contactB), 2);

  click(*second);
  EXPECT_EQ(model->selectedPeerID(), contactB);
  EXPECT_EQ(reveals, 1);
  EXPECT_FALSE(model->unread().contains(contactB));
}

TEST_F(LifecycleHostsNetns,
       AClickOnABlockedPeersNotificationSelectsNothing_NeedsRootAndNamespaces) {
  const auto notify = messageFromB("hello");
  ASSERT_TRUE(notify);
  model->runtime().setPeerBlocked(contactB, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() != nullptr && peerB()->blocked; }, kWait));
  click(*notify);
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);
  EXPECT_EQ(reveals, 0);
  EXPECT_TRUE(model->unread().contains(contactB));
}

TEST_F(LifecycleHostsNetns, SleepClosesThePeersSessionAndWakeReconnects_NeedsRootAndNamespaces) {
  ASSERT_TRUE(messageFromB("before sleep"));
  ASSERT_TRUE(bHoldsSessionWithA());

  logind->send({{"op", "sleep"}, {"start", true}});
  // The event loop runs meanwhile: the announcement reaches the lifecycle through it.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !bHoldsSessionWithA(); }, kWait));

  const size_t from = logind->mark();
  logind->send({{"op", "sleep"}, {"start", false}});
  // The wake's handler ran before it took the inhibitor again.
  ASSERT_EQ(logind->awaitEvents("inhibit", 1, from).size(), 1u);
  const auto after = messageFromB("after wake");
  ASSERT_TRUE(after);
  EXPECT_TRUE(bHoldsSessionWithA());
}

TEST_F(LifecycleHostsNetns, AfterPowerOffWakeStaysDownAndQuitAsksNothing_NeedsRootAndNamespaces) {
  ASSERT_TRUE(messageFromB("before power-off"));
  // Work in progress: B is gone, A's message to it waits in the outbox.
  ASSERT_TRUE(nodeB->stopsCleanly());
  nodeB.reset();
  std::optional<runtime::SendRejection> refused = runtime::SendRejection::busy;
  bool answered = false;
  model->runtime().sendText("waits", wireB, contactB,
                            [&](std::optional<runtime::SendRejection> rejection) {
                              refused = rejection;
                              answered = true;
                            });
  ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, kWait));
  ASSERT_EQ(refused, std::nullopt);
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->hasWorkInProgress(); }, kWait));

  logind->send({{"op", "shutdown"}, {"start", true}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return lifecycle->systemEnding(); }, kWait));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !model->snapshot().enabled; }, kWait));

  int enabledSnapshots = 0;
  QObject::connect(model, &workspace::WorkspaceModel::snapshotPublished,
                   [&] { enabledSnapshots += model->snapshot().enabled ? 1 : 0; });
  const size_t from = logind->mark();
  logind->send({{"op", "sleep"}, {"start", false}});
  // The wake's handler ran before it took the inhibitor again.
  ASSERT_EQ(logind->awaitEvents("inhibit", 1, from).size(), 1u);

  EXPECT_EQ(lifecycle->requestQuit(), TerminationReply::later);
  EXPECT_TRUE(confirmation->languages.empty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return endings == 1; }, kWait));
  // The shutdown's completion came after anything a resume would have published: nothing
  // started the network again.
  EXPECT_EQ(enabledSnapshots, 0);
  EXPECT_FALSE(model->snapshot().enabled);
}

}  // namespace
}  // namespace velmorine::shell::testing
