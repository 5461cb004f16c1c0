// The import from a data folder that the real runtime left: two runtime-node hosts on a private
// LAN pair and chat, so that host A's folder holds trust, audit and history; a committed receive
// is put beside them by hand (the transfer engine does not commit receives yet). A home that
// lost its data but kept A's keychain then launches the workspace model on its real runtime
// through the import gate. Needs root (CAP_NET_ADMIN) and iproute2; skips without them.

#include <gtest/gtest.h>

#include <QObject>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/shell/legacy_import_gate.h"
#include "Velmorine/workspace/main_queue.h"
#include "Velmorine/workspace/vel_runtime_operations.h"
#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/shell/legacy_import_fixture.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"
#include "tests/harness/lan_namespaces.h"
#include "tests/harness/runtime_node_process.h"

namespace velmorine::shell {
namespace {

using namespace testing;
using velmorine::testing::Json;
using velmorine::testing::Lan;
using velmorine::testing::RuntimeNodeProcess;

inline constexpr const char* kMessage = "hello from a";

// A runtime-node host on the LAN, on a data home of its own.
struct NodeHost {
  NodeHost(std::string hostName, int hostNumber) : name(std::move(hostName)), number(hostNumber) {}

  std::string name;
  int number;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<RuntimeNodeProcess> node;
  std::string localID;

  void run(const std::string& ns) {
    node = std::make_unique<RuntimeNodeProcess>(std::vector<std::string>{"ip", "netns", "exec", ns},
                                                home.path().string());
    ASSERT_TRUE(node->launch());
    node->send({{"op", "start"}});
    node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    node->send({{"op", "updatePreferences"}, {"displayName", "Host " + name}});
    const auto searching = node->waitSnapshot([&](const Json& snapshot) {
      return snapshot["status"] == "network.searching" && snapshot["localID"].is_string() &&
             snapshot["preferences"]["displayName"] == "Host " + name;
    });
    ASSERT_TRUE(searching) << name << " never searched";
    localID = (*searching)["localID"];
  }
};

// The model over the real runtime of a data home, as the program builds it.
std::unique_ptr<workspace::WorkspaceModel> applicationModel(const ImportHome& home) {
  runtime::RuntimeEnvironment environment;
  environment.mainQueue = workspace::postToMainQueue;
  auto runtime = runtime::VelRuntime::create(
      home.data(), home.keychain(), std::make_shared<reminders::UnconfiguredReminderClient>(),
      network::makeDiscoveryService, true, runtime::sendOnSession, runtime::sendOnSession,
      std::move(environment));
  workspace::WorkspaceModel::Replacements replacements;
  replacements.runtime = std::make_shared<workspace::VelRuntimeOperations>(
      std::move(runtime), workspace::postToMainQueue);
  return std::make_unique<workspace::WorkspaceModel>(
      [](std::optional<std::string> recipient) {
        return std::make_shared<workspace::testing::FakePreparation>(std::move(recipient));
      },
      std::move(replacements));
}

class LegacyImportHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vli" + std::to_string(::getpid()));
    if (!lan->create()) GTEST_SKIP() << "cannot make network namespaces and a bridge";
    ASSERT_TRUE(lan->plug(a.name, a.number));
    ASSERT_TRUE(lan->plug(b.name, b.number));
    ASSERT_NO_FATAL_FAILURE(a.run(lan->ns(a.name)));
    ASSERT_NO_FATAL_FAILURE(b.run(lan->ns(b.name)));

    // A pairs with B and its message is acknowledged.
    ASSERT_TRUE(a.node->waitSnapshot([&](const Json& snapshot) {
      const Json* row = velmorine::testing::peerRow(snapshot, b.localID);
      return row != nullptr && (*row)["online"] == true;
    })) << "A never heard B";
    a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
    ASSERT_TRUE(a.node->waitSnapshot([&](const Json& snapshot) {
      return velmorine::testing::safetyCode(snapshot, b.localID).has_value();
    })) << "A and B never paired";
    a.node->send({{"op", "sendText"}, {"peer", b.localID}, {"text", kMessage}});
    ASSERT_TRUE(a.node->waitSnapshot([&](const Json& snapshot) {
      for (const auto& message : snapshot["messages"]) {
        if (message["text"] == kMessage && message["delivery"] == "acknowledged") return true;
      }
      return false;
    })) << "B never acknowledged";
    EXPECT_TRUE(a.node->stopsCleanly());
    EXPECT_TRUE(b.node->stopsCleanly());

    source = a.home / "Velmorine";
    receivedID = addReceivedFolder(source);
  }

  void TearDown() override {
    for (auto* host : {&a, &b}) host->node.reset();
    lan.reset();
  }

  // A home that kept A's identity and lost its data.
  std::unique_ptr<ImportHome> homeWithTheIdentity() {
    auto home = std::make_unique<ImportHome>();
    fs::copy(a.home / kKeychainFolderName, home->root() / kKeychainFolderName,
             fs::copy_options::recursive);
    return home;
  }

  LegacyImportContext contextFor(const ImportHome& home) {
    LegacyImportContext context;
    context.supported = true;
    context.dataFolder = home.data();
    context.keychain = home.keychain();
    context.dialogs = dialogs;
    context.pickerFolder = a.home.path();
    context.mainQueue = workspace::postToMainQueue;
    return context;
  }

  // Launches the model through the gate; the first snapshot its runtime published.
  std::shared_ptr<const runtime::RuntimeSnapshot> launch(workspace::WorkspaceModel& model,
                                                         const ImportHome& home) {
    std::shared_ptr<const runtime::RuntimeSnapshot> first;
    const auto connection =
        QObject::connect(&model, &workspace::WorkspaceModel::snapshotPublished, [&] {
          if (!first) first = model.sharedSnapshot();
        });
    offerLegacyImportAtLaunch(QPointer<workspace::WorkspaceModel>(&model), contextFor(home));
    EXPECT_TRUE(spinUntil([&] { return first != nullptr; })) << "the runtime never published";
    QObject::disconnect(connection);
    return first;
  }

  static void shutDown(workspace::WorkspaceModel& model) {
    bool done = false;
    model.runtime().shutdown([&] { done = true; });
    EXPECT_TRUE(spinUntil([&] { return done; }));
  }

  std::unique_ptr<Lan> lan;
  NodeHost a{"a", 1}, b{"b", 2};
  fs::path source;
  core::Uuid receivedID;
  std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
};

TEST_F(LegacyImportHostsNetns, LaunchImportsTheFolderOnceAndStartsOnIt_NeedsRootAndNamespaces) {
  const auto home = homeWithTheIdentity();
  const auto sourceBefore = treeOf(source);
  dialogs->alertAnswers.push_back(0);
  dialogs->folderAnswers.push_back(source);
  auto model = applicationModel(*home);
  const auto first = launch(*model, *home);
  ASSERT_TRUE(first);

  EXPECT_EQ(dialogs->alerts.size(), 1u);  // the offer, no failure
  ASSERT_EQ(dialogs->pickers.size(), 1u);
  EXPECT_EQ(dialogs->pickers[0].startFolder, a.home.path());
  // The source's peer and history, with networking and notifications off.
  const auto peer = std::ranges::find_if(
      first->peers, [&](const runtime::RuntimePeer& row) { return row.wireID == b.localID; });
  ASSERT_NE(peer, first->peers.end());
  EXPECT_TRUE(peer->historical);
  EXPECT_TRUE(std::ranges::any_of(first->messages, [&](const runtime::RuntimeMessage& message) {
    return message.text == kMessage && message.outgoing && message.contactID == peer->id;
  }));
  EXPECT_FALSE(first->enabled);
  EXPECT_FALSE(first->preferences.networkEnabled);
  EXPECT_FALSE(first->preferences.notificationsEnabled);
  EXPECT_FALSE(first->preferences.destinationBookmark);
  EXPECT_EQ(first->preferences.displayName, "Host a");
  // The received folder is bookmarked where it lies now.
  ASSERT_EQ(first->received.size(), 1u);
  const auto resolved = platform::resolve_bookmark(first->received[0].containerBookmark);
  EXPECT_EQ(resolved.path, home->data() / "Received" / ("Velmorine-" + receivedID.to_string()));
  EXPECT_FALSE(resolved.stale);
  // The source is left as it was; nothing of the import stays behind.
  EXPECT_EQ(treeOf(source), sourceBefore);
  EXPECT_FALSE(fs::exists(home->pending()));
  EXPECT_TRUE(home->copies().empty());
  shutDown(*model);
}

TEST_F(LegacyImportHostsNetns,
       LaterStartsWithNothingAndTheNextLaunchOffersNothing_NeedsRootAndNamespaces) {
  const auto home = homeWithTheIdentity();
  dialogs->alertAnswers.push_back(1);
  {
    auto model = applicationModel(*home);
    const auto first = launch(*model, *home);
    ASSERT_TRUE(first);
    EXPECT_EQ(dialogs->alerts.size(), 1u);
    EXPECT_TRUE(dialogs->pickers.empty());
    EXPECT_TRUE(first->peers.empty());
    EXPECT_TRUE(first->messages.empty());
    EXPECT_TRUE(first->received.empty());
    shutDown(*model);
  }
  auto model = applicationModel(*home);
  ASSERT_TRUE(launch(*model, *home));
  EXPECT_EQ(dialogs->alerts.size(), 1u);
  shutDown(*model);
}

}  // namespace
}  // namespace velmorine::shell
