// The settings window on host A of a LAN of network namespaces, runtime-node on host B: what the
// user of A changes reaches B. Networking switched on in the window makes A appear on B, a retry
// restarts it, a new device name reaches B with the next announcement, and networking switched
// off makes A vanish from B. Needs root and iproute2; skips without them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "Velmorine/settings/general_section.h"
#include "Velmorine/settings/network_section.h"
#include "Velmorine/settings/settings_view.h"
#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/harness/scoped_namespace.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::settings {
namespace {

using velmorine::runtime::testing::Lan;
using velmorine::testing::Json;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::ScopedNamespace;

constexpr int kWait = 30000;  // milliseconds for a condition to come true, while events run

// B's view of the peer with device identifier `wireID`: its name while B has it online.
std::optional<std::string> onlineName(const Json& snapshot, const std::string& wireID) {
  for (const auto& peer : snapshot["peers"]) {
    if (peer["wireID"] == wireID && peer["online"] == true && peer["historical"] != true) {
      return peer["name"].get<std::string>();
    }
  }
  return std::nullopt;
}

// No reminder service on this LAN.
class QuietPush final : public shell::PushRegistration {
 public:
  void setDesired(bool, std::string) override {}
  void disable() override {}
  void contactForRoute(std::string, std::function<void(std::optional<std::string>)> done) override {
    done(std::nullopt);
  }
};

class SettingsHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vst" + std::to_string(::getpid()));
    if (!lan->create() || !lan->plug("a", 1) || !lan->plug("b", 2)) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    if (!session.start() || !system.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
    workspace::testing::useViewTestLook();
  }

  void TearDown() override {
    view.reset();
    lifecycle.reset();
    if (model) {
      bool closed = false;
      model->runtime().shutdown([&] { closed = true; });
      EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
    }
    model.reset();
    environment.reset();
    if (node) node->stop();
  }

  bool runB() {
    node = std::make_unique<RuntimeNodeProcess>(
        std::vector<std::string>{"ip", "netns", "exec", lan->ns("b")}, homeB.path().string());
    if (!node->launch()) return false;
    node->send({{"op", "start"}});
    node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    return node
        ->waitSnapshot([](const Json& snapshot) {
          return snapshot["enabled"] == true && snapshot["localID"].is_string();
        })
        .has_value();
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::PrivateBus session;
  velmorine::testing::PrivateBus system;
  velmorine::testing::TemporaryFolder homeA;
  velmorine::testing::TemporaryFolder homeB;
  std::unique_ptr<RuntimeNodeProcess> node;
  std::unique_ptr<workspace::WorkspaceModel> model;
  std::unique_ptr<workspace::ViewEnvironment> environment;
  std::unique_ptr<shell::DesktopLifecycle> lifecycle;
  std::unique_ptr<SettingsView> view;
};

TEST_F(SettingsHostsNetns, WhatTheSettingsOfHostAChangeReachesHostB_NeedsRootAndNamespaces) {
  ASSERT_TRUE(runB()) << "host B never searched";

  ScopedNamespace inA(lan->ns("a"));
  ASSERT_TRUE(inA.entered());
  ::setenv("XDG_DATA_HOME", (homeA / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (homeA / "config").c_str(), 1);
  model = std::make_unique<workspace::WorkspaceModel>([](std::optional<std::string> recipient) {
    return std::make_shared<workspace::testing::FakePreparation>(std::move(recipient));
  });
  environment =
      std::make_unique<workspace::ViewEnvironment>(*model, workspace::testing::tableLookup());
  shell::DesktopLifecycle::Environment desktop(session.connect(), system.connect());
  desktop.productIdentifier = "org.example.SettingsHosts";
  desktop.push = std::make_shared<QuietPush>();
  desktop.preferredLanguages = [] { return std::vector<std::string>{"en"}; };
  desktop.text = [](std::string_view key, std::string_view language) {
    return workspace::testing::tableLookup()(key, language);
  };
  lifecycle = std::make_unique<shell::DesktopLifecycle>(std::move(desktop));
  lifecycle->attach(*model);
  std::vector<std::string> statuses;
  QObject::connect(model.get(), &workspace::WorkspaceModel::snapshotPublished,
                   [&] { statuses.push_back(model->snapshot().status); });
  model->startRuntime()();
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->hasReceivedSnapshot(); }, kWait));

  SettingsParts parts;
  parts.about.bundle = [] { return platform::Bundle(nlohmann::json::object()); };
  view = std::make_unique<SettingsView>(*environment, *lifecycle, std::move(parts));
  view->resize(620, 700);
  view->show();

  // Networking on from the window: A appears on B.
  auto* toggle = view->network()->networkToggle();
  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Space);
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->snapshot().enabled; }, kWait));
  EXPECT_TRUE(toggle->isChecked());
  const std::string localID = *model->snapshot().localID;
  const std::string firstName = model->snapshot().preferences.displayName;
  ASSERT_TRUE(node->waitSnapshot([&](const Json& snapshot) {
    return onlineName(snapshot, localID) == firstName;
  })) << "B never saw A";

  // A retry restarts networking, through its starting state.
  statuses.clear();
  QTest::mouseClick(view->network()->retryButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return std::ranges::find(statuses, "network.starting") != statuses.end() &&
               model->snapshot().enabled && model->snapshot().localID;
      },
      kWait));
  const std::string restartedID = *model->snapshot().localID;

  // A new name, saved with Return, reaches B with the next announcement.
  const size_t before = node->mark();
  auto* field = view->general()->nameField();
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, QStringLiteral("  Renamed A  "));
  QTest::keyClick(field, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return model->snapshot().preferences.displayName == "Renamed A"; }, kWait));
  EXPECT_EQ(field->text(), QStringLiteral("Renamed A"));
  ASSERT_TRUE(node->waitSnapshot(
      [&](const Json& snapshot) { return onlineName(snapshot, restartedID) == "Renamed A"; },
      before))
      << "B never saw the new name";

  // Networking off: A vanishes from B.
  QTest::keyClick(toggle, Qt::Key_Space);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !model->snapshot().enabled; }, kWait));
  EXPECT_FALSE(toggle->isChecked());
  const size_t off = node->mark();
  EXPECT_TRUE(
      node->waitSnapshot([&](const Json& snapshot) { return !onlineName(snapshot, restartedID); },
                         off, std::chrono::seconds(60)))
      << "A stayed on B";
}

}  // namespace
}  // namespace velmorine::settings
