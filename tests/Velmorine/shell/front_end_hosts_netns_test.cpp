// The program's front end, offscreen, with its runtime on host A of a LAN of network namespaces,
// and runtime-node on host B: what the user of A sees and does. B's row goes online, the inspector
// shows the safety code both ends agree on, verifying and blocking reach the row, B restarted with
// a new key raises the key-change banner and keeping it separate adds a contact; a second start of
// the real program on A shows the first and ends. Needs root and iproute2; skips without them.

#include <gtest/gtest.h>

#include <QListView>
#include <QMainWindow>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <random>

#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/shell/single_instance.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/keychain_service.h"
#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/key_change_banner.h"
#include "Velmorine/workspace/peer_list_model.h"
#include "Velmorine/workspace/security_inspector.h"
#include "Velmorine/workspace/sidebar_view.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "platform/desktop/application_activation.h"
#include "platform/keychain/keychain.h"
#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/harness/scoped_namespace.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

using velmorine::runtime::testing::Lan;
using velmorine::testing::Json;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::ScopedNamespace;

constexpr int kWait = 30000;  // milliseconds for a condition to come true, while events run

// Host B: runtime-node in its namespace, networking on, under a name of its own.
struct NodeHost {
  std::string ns;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<RuntimeNodeProcess> node;
  std::string localID;

  bool run() {
    node = std::make_unique<RuntimeNodeProcess>(std::vector<std::string>{"ip", "netns", "exec", ns},
                                                home.path().string());
    if (!node->launch()) return false;
    node->send({{"op", "start"}});
    node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    node->send({{"op", "updatePreferences"}, {"displayName", "Host B"}});
    const auto searching = node->waitSnapshot([](const Json& snapshot) {
      return snapshot["enabled"] == true && snapshot["localID"].is_string() &&
             snapshot["preferences"]["displayName"] == "Host B";
    });
    if (!searching) return false;
    localID = (*searching)["localID"];
    return true;
  }

  // The same device identifier with a fresh key, and no store: as after a reinstall that kept
  // the identifier.
  bool rekey() {
    node->stop();
    const platform::Keychain keychain(home / "velmorine-keychain");
    const platform::KeychainItemAddress address{
        store::keychainServiceBase() + store::kIdentityServiceSuffix, store::kIdentityAccount,
        store::keychainAccessGroup()};
    auto item = keychain.load(address);
    if (item.status != platform::KeychainStatus::success ||
        item.data.size() != store::kIdentityItemSize) {
      return false;
    }
    std::vector<std::uint8_t> bytes(item.data.bytes().begin(), item.data.bytes().end());
    std::random_device random;
    for (std::size_t index = 20; index < bytes.size(); ++index) {
      bytes[index] = static_cast<std::uint8_t>(random());
    }
    const bool updated = keychain.update(address, bytes) == platform::KeychainStatus::success;
    std::fill(bytes.begin(), bytes.end(), 0);
    std::filesystem::remove_all(home / "Velmorine");
    return updated;
  }
};

class FrontEndHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vfe" + std::to_string(::getpid()));
    if (!lan->create() || !lan->plug("a", 1) || !lan->plug("b", 2)) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    if (!bus.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
    b.ns = lan->ns("b");
    workspace::testing::useViewTestLook();
  }

  // The row content of the peer with `wireID` in A's sidebar, or none.
  std::optional<workspace::PeerRowContent> rowOf(const std::string& wireID) {
    for (const auto& peer : model->snapshot().peers) {
      if (peer.wireID != wireID) continue;
      const int row = peers()->rowOf(peer.id);
      if (row < 0) return std::nullopt;
      return peers()
          ->index(row)
          .data(workspace::kPeerContentRole)
          .value<workspace::PeerRowContent>();
    }
    return std::nullopt;
  }
  const runtime::RuntimePeer* peerOf(const std::string& wireID) {
    for (const auto& peer : model->snapshot().peers) {
      if (peer.wireID == wireID && !peer.historical) return &peer;
    }
    return nullptr;
  }
  workspace::PeerListModel* peers() { return frontEnd->workspace()->sidebar()->peerListModel(); }
  workspace::SecurityInspector* inspector() { return frontEnd->workspace()->inspector(); }

  void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->objectName().toStdString();
    button->click();
  }
  // Confirms the alert `alert` with its accepting button.
  void confirm(QMessageBox* alert) {
    ASSERT_NE(alert, nullptr);
    for (auto* button : alert->buttons()) {
      if (alert->buttonRole(button) == QMessageBox::AcceptRole) {
        button->click();
        return;
      }
    }
    FAIL() << "no confirming button";
  }
  void selectRowOf(const std::string& wireID) {
    const auto* peer = peerOf(wireID);
    ASSERT_NE(peer, nullptr);
    auto* list = frontEnd->workspace()->sidebar()->peerList();
    list->setCurrentIndex(peers()->index(peers()->rowOf(peer->id)));
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::PrivateBus bus;
  NodeHost b;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<workspace::WorkspaceModel> model;
  std::unique_ptr<DesktopFrontEnd> frontEnd;
};

TEST_F(FrontEndHostsNetns, WhatTheUserOfHostASees_NeedsRootAndNamespaces) {
  ASSERT_TRUE(b.run()) << "host B never searched";

  // Host A: this test's main thread, and every thread it starts, in A's namespace.
  ScopedNamespace inA(lan->ns("a"));
  ASSERT_TRUE(inA.entered());
  ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  model = std::make_unique<workspace::WorkspaceModel>(workspace::contentAttachmentFactory());
  FrontEndParts parts;
  parts.framesFile = home / "config" / "Velmorine" / "windows.ini";
  frontEnd = std::make_unique<DesktopFrontEnd>(*model, workspace::testing::tableLookup(),
                                               std::move(parts));
  auto connection = bus.connect(QStringLiteral("host-a"));
  const QString name = QStringLiteral("org.velmorine.Velmorine");
  platform::ApplicationActivation activation(connection, name.toStdString(),
                                             [this] { frontEnd->showMain(); });
  ASSERT_TRUE(activation.exported());
  ASSERT_EQ(claimSingleInstance(connection, name), InstanceClaim::claimed);

  // The first appearance starts the runtime; the user switches networking on.
  frontEnd->start();
  auto* toggle = frontEnd->workspace()->findChild<QPushButton*>(QStringLiteral("network.toggle"));
  click(toggle);
  ASSERT_TRUE(QTest::qWaitFor([&] { return model->snapshot().enabled; }, kWait));

  // B's row comes online.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto row = rowOf(b.localID);
        return row && row->name == QStringLiteral("Host B") &&
               row->status == frontEnd->environment().text("peers.online");
      },
      kWait))
      << "B's row never came online; A's status " << model->snapshot().status << ", "
      << model->snapshot().peers.size() << " peers, local "
      << model->snapshot().localID.value_or("none");
  const std::string contact = peerOf(b.localID)->id;

  // Selecting it connects; the inspector shows the code that B shows for A.
  selectRowOf(b.localID);
  ASSERT_TRUE(QTest::qWaitFor([&] { return inspector()->codeLabel()->isVisible(); }, kWait));
  const std::string aID = *model->snapshot().localID;
  const auto bSees = b.node->waitSnapshot([&](const Json& snapshot) {
    return velmorine::testing::safetyCode(snapshot, aID).has_value();
  });
  ASSERT_TRUE(bSees);
  EXPECT_EQ(inspector()->codeLabel()->text().toStdString(),
            *velmorine::testing::safetyCode(*bSees, aID));

  // Verify reaches the row.
  click(inspector()->verifyButton());
  confirm(inspector()->verifyAlert());
  ASSERT_TRUE(QTest::qWaitFor([&] { return peerOf(b.localID)->verified; }, kWait));
  EXPECT_EQ(inspector()->verificationLabel()->label()->text(),
            frontEnd->environment().text("security.verified"));
  EXPECT_FALSE(inspector()->verifyButton()->isEnabled());

  // B says something, so that its contact stays in A's history.
  b.node->send({{"op", "sendText"}, {"peer", aID}, {"text", "hello from B"}});
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (const auto& message : model->snapshot().messages) {
          if (message.text == "hello from B") return true;
        }
        return false;
      },
      kWait));

  // Block, then unblock: the row follows.
  click(inspector()->blockButton());
  confirm(inspector()->blockAlert());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto row = rowOf(b.localID);
        return row && row->symbol == "hand.raised" &&
               row->status == frontEnd->environment().text("security.blocked");
      },
      kWait));
  click(inspector()->blockButton());
  confirm(inspector()->blockAlert());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto row = rowOf(b.localID);
        return row && row->symbol != "hand.raised";
      },
      kWait));

  // B comes back with a new key under its old identifier and reaches out: the banner shows.
  ASSERT_TRUE(b.rekey());
  ASSERT_TRUE(b.run());
  ASSERT_TRUE(b.node->waitSnapshot([&](const Json& snapshot) {
    const Json* row = velmorine::testing::peerRow(snapshot, aID);
    return row != nullptr && (*row)["online"] == true;
  })) << "B never heard A again";
  b.node->send({{"op", "connectPeer"}, {"peer", aID}});
  auto* banner = frontEnd->workspace()->detail()->keyChangeBanner();
  ASSERT_TRUE(QTest::qWaitFor([&] { return banner->isVisible(); }, kWait))
      << "the key-change banner never showed; A's status " << model->snapshot().status
      << ", B's row changed key: " << (peerOf(b.localID) && peerOf(b.localID)->keyChanged)
      << ", selected: " << model->selectedPeerID().value_or("none");
  EXPECT_TRUE(peerOf(b.localID)->keyChanged);

  // Keeping the new key separately: a contact of its own beside the old one.
  click(banner->separateButton());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto* fresh = peerOf(b.localID);
        return fresh != nullptr && fresh->id != contact && !fresh->keyChanged;
      },
      kWait));
  EXPECT_EQ(peers()->rowCount(), 2);
  EXPECT_NE(peers()->rowOf(contact), -1);

  // A second start of the program on A shows this one and ends.
  frontEnd->mainWindow()->close();
  ASSERT_FALSE(frontEnd->mainWindow()->isVisible());
  QProcess second;
  QProcessEnvironment environment;
  environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
  environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
  environment.insert(QStringLiteral("XDG_DATA_HOME"),
                     QString::fromStdString((home / "data").string()));
  environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                     QString::fromStdString((home / "config").string()));
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                     QString::fromStdString(home.path().string()));
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                     QString::fromStdString(bus.address()));
  second.setProcessEnvironment(environment);
  second.start(QStringLiteral(VELMORINE_PROGRAM), {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, kWait));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(frontEnd->mainWindow()->isVisible());

  // The runtime closes in order before the namespace goes.
  bool closed = false;
  model->runtime().shutdown([&closed] { closed = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
  frontEnd.reset();
  model.reset();
  QDBusConnection::disconnectFromBus(QStringLiteral("host-a"));
  EXPECT_TRUE(b.node->stopsCleanly());
}

}  // namespace
}  // namespace velmorine::shell
