#pragma once

// The lifecycle over a workspace model with a recording runtime, on private session and system
// buses with a scripted notification server, login manager and dock; a push registration, a
// quit alert and a clock that the test plays; a login item in a temporary configuration folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QTest>
#include <fstream>
#include <map>
#include <memory>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/main_queue.h"
#include "native/protocol/uuid.h"
#include "platform/desktop/desktop_notifications.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"
#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell::testing {

using velmorine::testing::BusPeer;
using velmorine::testing::Json;

class FakePush final : public PushRegistration {
 public:
  void setDesired(bool wanted, std::string language) override {
    calls.push_back(std::string("desired ") + (wanted ? "true " : "false ") + language);
  }
  void disable() override { calls.push_back("disable"); }
  void contactForRoute(std::string route,
                       std::function<void(std::optional<std::string>)> done) override {
    calls.push_back("route " + route);
    routes.push_back(std::move(done));
  }

  std::vector<std::string> calls;
  std::vector<std::function<void(std::optional<std::string>)>> routes;
};

// A clock moved by hand: work runs when the clock passes its time, in order.
class ManualDelays final : public MainQueueDelays {
 public:
  void after(double seconds, std::function<void()> work) override {
    due_.emplace(now_ + seconds, std::move(work));
  }
  void advance(double seconds) {
    now_ += seconds;
    while (!due_.empty() && due_.begin()->first <= now_) {
      auto work = std::move(due_.begin()->second);
      due_.erase(due_.begin());
      work();
    }
  }
  std::size_t waiting() const { return due_.size(); }

 private:
  double now_ = 0;
  std::multimap<double, std::function<void()>> due_;
};

// Answers the alert as the test said; `whileOpen` runs while it is open.
class ScriptedConfirmation final : public QuitConfirmation {
 public:
  bool ask(const std::string& language) override {
    languages.push_back(language);
    open = true;
    confirmedWhileOpen = false;
    if (whileOpen) whileOpen();
    open = false;
    return confirmedWhileOpen || answer;
  }
  void confirmOpenAlert() override {
    if (open) confirmedWhileOpen = true;
  }

  bool answer = false;
  std::function<void()> whileOpen;
  std::vector<std::string> languages;
  bool open = false;
  bool confirmedWhileOpen = false;
};

// The build's tables, with English as the system's language.
inline std::string text(std::string_view key, std::string_view language) {
  static const auto tables = LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  static const std::vector<std::string> preferred{"en"};
  return localizedString(tables, key, language, preferred);
}

inline std::string newID() { return core::Uuid::random().to_string(); }

inline runtime::RuntimePeer uuidPeer(const std::string& id, const std::string& name) {
  auto peer = workspace::testing::peer(id);
  peer.name = name;
  return peer;
}

inline runtime::RuntimeMessage incoming(const std::string& contact) {
  return workspace::testing::message(newID(), contact);
}

class LifecycleFixture : public workspace::testing::WorkspaceFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session.start()) << "dbus-daemon cannot run";
    ASSERT_TRUE(system.start());
    server = std::make_unique<BusPeer>("notifications", session.address());
    logind = std::make_unique<BusPeer>("logind", system.address());
    dock = std::make_unique<BusPeer>("launcher", session.address());
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(logind->start());
    ASSERT_TRUE(dock->start());
    installHelper();
    lifecycle = std::make_unique<DesktopLifecycle>(environment());
    QObject::connect(lifecycle.get(), &DesktopLifecycle::notificationStatusPublished,
                     [this] { ++statusAnswers; });
  }

  // Waits until every status query asked so far was answered and handled: a call of the
  // test's own on the lifecycle's connection is answered after them. A dead server answers
  // them with errors just the same.
  void statusQuiet() {
    for (int round = 0; round < 2; ++round) {
      settle();
      bool answered = false;
      auto* call =
          new QDBusPendingCallWatcher(lifecycleSession->asyncCall(QDBusMessage::createMethodCall(
              platform::kNotificationsService, platform::kNotificationsPath,
              platform::kNotificationsInterface, "GetServerInformation")));
      QObject::connect(call, &QDBusPendingCallWatcher::finished, [&](auto* done) {
        answered = true;
        done->deleteLater();
      });
      EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 20000));
    }
    settle();
  }

  void TearDown() override { lifecycle.reset(); }

  DesktopLifecycle::Environment environment() {
    lifecycleSession.emplace(session.connect());
    DesktopLifecycle::Environment environment(*lifecycleSession, system.connect());
    environment.productIdentifier = kIdentifier;
    environment.loginItem.emplace(config.path(), std::string(kIdentifier) + ".LoginHelper.desktop",
                                  helper, "Velmorine");
    environment.push = pushRegistration();
    environment.confirmation = confirmation;
    environment.delays = delays;
    environment.preferredLanguages = [] { return std::vector<std::string>{"en"}; };
    environment.text = text;
    environment.quitEventLoop = [this] { ends.push_back("quitEventLoop"); };
    environment.endProcess = [this] { ends.push_back("endProcess"); };
    return environment;
  }

  // The push registration the lifecycle is given.
  virtual std::shared_ptr<PushRegistration> pushRegistration() { return push; }

  void installHelper() {
    std::filesystem::create_directories(helper.parent_path());
    std::ofstream(helper) << "#!/bin/sh\nexit 0\n";
    ::chmod(helper.c_str(), 0755);
  }

  // A snapshot with these peers and messages; notifications on unless said otherwise.
  static runtime::RuntimeSnapshot snapshotWith(std::vector<runtime::RuntimePeer> peers,
                                               std::vector<runtime::RuntimeMessage> messages = {},
                                               bool notifications = true,
                                               std::string language = "en") {
    runtime::RuntimeSnapshot snapshot;
    snapshot.status = "network.searching";
    snapshot.peers = std::move(peers);
    snapshot.messages = std::move(messages);
    snapshot.preferences.notificationsEnabled = notifications;
    snapshot.preferences.language = std::move(language);
    return snapshot;
  }

  // Lets work posted to the main queue run.
  static void settle() { QCoreApplication::processEvents(); }

  static constexpr const char* kIdentifier = "org.example.Test";

  velmorine::testing::PrivateBus session;
  velmorine::testing::PrivateBus system;
  // The lifecycle's own connection to the session bus, where the program claims its name.
  std::optional<QDBusConnection> lifecycleSession;
  std::unique_ptr<BusPeer> server;
  std::unique_ptr<BusPeer> logind;
  std::unique_ptr<BusPeer> dock;
  velmorine::testing::TemporaryFolder config;
  std::filesystem::path helper = config / "prefix" / "libexec" / "velmorine-login-helper";
  std::shared_ptr<FakePush> push = std::make_shared<FakePush>();
  std::shared_ptr<ScriptedConfirmation> confirmation = std::make_shared<ScriptedConfirmation>();
  std::shared_ptr<ManualDelays> delays = std::make_shared<ManualDelays>();
  std::vector<std::string> ends;
  size_t statusAnswers = 0;
  std::unique_ptr<DesktopLifecycle> lifecycle;
};

}  // namespace velmorine::shell::testing
