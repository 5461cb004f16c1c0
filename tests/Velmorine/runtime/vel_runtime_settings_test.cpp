// Settings: networking on and off, preferences, the device name, hidden transfers and the
// device-list reset.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

class RuntimeSettings : public ::testing::Test {
 protected:
  // Runs an operation that reports through a completion and gives its result.
  bool complete(const std::function<void(VelRuntime::Completion)>& operation) {
    std::optional<bool> result;
    operation([&](bool done) { result = done; });
    EXPECT_TRUE(world.main.waitUntil([&] { return result.has_value(); }));
    return result.value_or(false);
  }

  RuntimeWorld world;
  TestRuntime runtime{world};
};

struct FlipCase {
  const char* name;
  bool networking;
};

class RuntimePreferences : public RuntimeSettings,
                           public ::testing::WithParamInterface<FlipCase> {};

TEST_P(RuntimePreferences, ChangingThemNeverFlipsNetworking) {
  ASSERT_TRUE(GetParam().networking ? runtime.startNetworking() : runtime.start());
  const uint64_t generation = runtime.onQueue([&] { return runtime->generation; });
  runtime->updatePreferences([](store::AppPreferences& preferences) {
    preferences.networkEnabled = !preferences.networkEnabled;
    preferences.appearance = "dark";
  });
  runtime.settle();
  EXPECT_EQ(runtime.latest().preferences.networkEnabled, GetParam().networking);
  EXPECT_EQ(runtime.latest().preferences.appearance, "dark");
  EXPECT_EQ(runtime.latest().enabled, GetParam().networking);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->generation; }), generation);
}

INSTANTIATE_TEST_SUITE_P(States, RuntimePreferences,
                         ::testing::Values(FlipCase{"NetworkingOn", true},
                                           FlipCase{"NetworkingOff", false}),
                         [](const ::testing::TestParamInfo<FlipCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeSettings, ADisplayNameThatIsNoNameFailsTheUpdate) {
  ASSERT_TRUE(runtime.start());
  const auto before = runtime.latest().preferences;
  runtime->updatePreferences([](store::AppPreferences& preferences) {
    preferences.displayName = " \t ";
    preferences.appearance = "dark";
  });
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "storage.unavailable");
  EXPECT_EQ(runtime.latest().preferences, before);
}

TEST_F(RuntimeSettings, ADisplayNameBecomesTheCustomName) {
  ASSERT_TRUE(runtime.startNetworking());
  const size_t sent = runtime.discovery()->sent().size();
  runtime->updatePreferences(
      [](store::AppPreferences& preferences) { preferences.displayName = "  Studio  "; });
  runtime.settle();
  const auto& preferences = runtime.latest().preferences;
  EXPECT_EQ(preferences.displayName, "Studio");
  ASSERT_TRUE(preferences.deviceNaming);
  EXPECT_EQ(preferences.deviceNaming->customName, "Studio");
  EXPECT_TRUE(preferences.deviceNaming->hintDismissed);
  // Peers hear the new name at once.
  ASSERT_EQ(runtime.discovery()->sent().size(), sent + 1);
  EXPECT_EQ(testing::lastAnnouncement(runtime)->displayName(), "Studio");
}

TEST_F(RuntimeSettings, RefreshingAnUnchangedDeviceNameWritesAndPublishesNothing) {
  ASSERT_TRUE(runtime.startNetworking());
  runtime.settle();
  const auto document = runtime.folder() / store::LocalStore::kDocumentName;
  struct stat before {};
  ASSERT_EQ(::stat(document.c_str(), &before), 0);
  const size_t published = runtime.snapshots.size();
  const size_t sent = runtime.discovery()->sent().size();

  runtime->refreshDeviceName();
  runtime.settle();
  struct stat after {};
  ASSERT_EQ(::stat(document.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(runtime.snapshots.size(), published);
  EXPECT_EQ(runtime.discovery()->sent().size(), sent);

  // A new computer name is written, announced and published.
  runtime.setComputerName("Workshop");
  runtime->refreshDeviceName();
  runtime.settle();
  EXPECT_EQ(runtime.latest().preferences.displayName, "Workshop");
  EXPECT_EQ(runtime.discovery()->sent().size(), sent + 1);
  std::ifstream written(document);
  const std::string text{std::istreambuf_iterator<char>(written), {}};
  EXPECT_NE(text.find("\"Workshop\""), std::string::npos);
}

TEST_F(RuntimeSettings, RenamingWithoutANameReturnsToTheAutomaticName) {
  ASSERT_TRUE(runtime.start());
  EXPECT_TRUE(complete([&](auto done) { runtime->renameDevice("Atelier", done); }));
  // The snapshot comes no later than the completion.
  EXPECT_EQ(runtime.latest().preferences.displayName, "Atelier");
  EXPECT_TRUE(complete([&](auto done) { runtime->renameDevice(std::nullopt, done); }));
  EXPECT_EQ(runtime.latest().preferences.displayName, "Test Host");
  EXPECT_FALSE(runtime.latest().preferences.deviceNaming->customName);
  EXPECT_FALSE(runtime.latest().deviceNameUsesFallback);

  EXPECT_FALSE(complete([&](auto done) { runtime->renameDevice("\n", done); }));
  EXPECT_EQ(runtime.latest().preferences.displayName, "Test Host");
}

TEST_F(RuntimeSettings, WithoutAComputerNameTheFallbackNameIsUsed) {
  runtime.setComputerName(std::nullopt);
  ASSERT_TRUE(runtime.start());
  EXPECT_TRUE(runtime.latest().deviceNameUsesFallback);
  EXPECT_EQ(runtime.latest().preferences.displayName.rfind("Mac · ", 0), 0u)
      << runtime.latest().preferences.displayName;
}

TEST_F(RuntimeSettings, OperationsWithoutAStoreFail) {
  EXPECT_FALSE(complete([&](auto done) { runtime->renameDevice("Atelier", done); }));
  EXPECT_FALSE(complete([&](auto done) { runtime->resetDevices(done); }));
  EXPECT_FALSE(complete([&](auto done) { runtime->hideEndedTransfers({}, done); }));
}

TEST_F(RuntimeSettings, AFailedNetworkingSwitchLeavesNetworkingAsItWas) {
  ASSERT_TRUE(runtime.startNetworking());
  testing::BrokenStoreWrites broken(runtime.folder());
  runtime->setNetworkEnabled(false);
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "storage.unavailable");
  EXPECT_TRUE(runtime.latest().enabled);
  EXPECT_NE(runtime.port(), 0);
}

TEST_F(RuntimeSettings, HidingEndedTransfersListsThemAsDismissed) {
  velmorine::testing::TemporaryFolder folder;
  const std::string contact = testing::newID();
  const auto ended = testing::transferOf(contact, transfer::TransferState::committed);
  testing::saveSeedRecords(*testing::openSeedHistory(folder.path()), {testing::recordOf(ended)});
  TestRuntime seeded(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(seeded.start());
  EXPECT_TRUE(seeded.latest().dismissedTransfers.empty());
  EXPECT_TRUE(complete([&](auto done) { seeded->hideEndedTransfers({}, done); }));
  EXPECT_FALSE(seeded.latest().dismissedTransfers.empty());
}

class RuntimeDeviceReset : public RuntimeSettings {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.startNetworking());
    ASSERT_TRUE(peer.startNetworking());
    ASSERT_TRUE(testing::connectPair(world, runtime, peer));
    runtime.discovery()->hear(*VEProtocol::discoveryWithID(idleID, "Idle", idle->fingerprint(),
                                                           std::string(64, 'a'), 4100, 15, 1));
    ASSERT_TRUE(runtime.waitForSnapshot(
        [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, idleID) != nullptr; }));
  }

  TestRuntime peer{world};
  const std::shared_ptr<VEIdentity> idle = *VEIdentity::generate();
  const std::string idleID = testing::newID();
};

TEST_F(RuntimeDeviceReset, KeepsPeersInUseAndHidesTheRest) {
  const size_t sent = runtime.discovery()->sent().size();
  EXPECT_TRUE(complete([&](auto done) { runtime->resetDevices(done); }));
  EXPECT_TRUE(runtime.peer(peer.id()));
  EXPECT_TRUE(runtime.peer(peer.id())->safetyCode);
  EXPECT_FALSE(runtime.peer(idleID));
  EXPECT_EQ(runtime.discovery()->sent().size(), sent + 1);
  const auto hidden = runtime.onQueue([&] {
    return runtime->store->document().hiddenHistoricalPeers.value_or(std::set<std::string>{});
  });
  EXPECT_TRUE(hidden.contains(peer.id()));
  // Nothing is forgotten: the trust record stays.
  EXPECT_TRUE(
      runtime.onQueue([&] { return runtime->store->document().trust.contains(peer.id()); }));
  // The idle peer comes back with its next announcement.
  runtime.discovery()->hear(*VEProtocol::discoveryWithID(idleID, "Idle", idle->fingerprint(),
                                                         std::string(64, 'a'), 4100, 15, 2));
  EXPECT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, idleID) != nullptr; }));
}

TEST_F(RuntimeDeviceReset, AResetThatCannotWriteChangesNothing) {
  testing::BrokenStoreWrites broken(runtime.folder());
  EXPECT_FALSE(complete([&](auto done) { runtime->resetDevices(done); }));
  runtime.onQueue([&] { runtime->publishSnapshot(); });
  runtime.settle();
  EXPECT_TRUE(runtime.peer(idleID));
  EXPECT_TRUE(runtime.peer(peer.id()));
  EXPECT_FALSE(runtime.onQueue([&] {
    return runtime->store->document()
        .hiddenHistoricalPeers.value_or(std::set<std::string>{})
        .contains(peer.id());
  }));
}

}  // namespace
}  // namespace velmorine::runtime
