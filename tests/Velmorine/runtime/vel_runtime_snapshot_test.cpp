// What a snapshot shows: peer rows from discovery and from the history, online state, the
// status key and the items carried by one snapshot only.

#include <gtest/gtest.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

// A device the test speaks for: its identity and its announcements.
struct Device {
  std::shared_ptr<VEIdentity> identity = *VEIdentity::generate();
  std::string id = testing::newID();

  std::vector<uint8_t> announcement(const std::string& name, uint64_t sequence = 1,
                                    std::optional<std::string> fingerprint = std::nullopt) const {
    return *VEProtocol::discoveryWithID(id, name, fingerprint.value_or(identity->fingerprint()),
                                        std::string(64, 'a'), 4100, 15, sequence);
  }
  store::TrustRecord trust(bool blocked = false, bool verified = false) const {
    return store::TrustRecord{*core::Uuid::parse(id), identity->publicKey(), verified, blocked};
  }
};

class RuntimeSnapshotRules : public ::testing::Test {
 protected:
  RuntimeWorld world;
};

struct OnlineCase {
  const char* name;
  double age;
  bool online;
};

class RuntimeOnline : public RuntimeSnapshotRules,
                      public ::testing::WithParamInterface<OnlineCase> {};

TEST_P(RuntimeOnline, ARouteCountsForTenSeconds) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  const Device device;
  runtime.discovery()->hear(device.announcement("Peer"));
  ASSERT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, device.id) != nullptr; }));
  EXPECT_TRUE(runtime.peer(device.id)->online);
  world.advance(GetParam().age);
  runtime.onQueue([&] { runtime->publishSnapshot(); });
  runtime.settle();
  ASSERT_TRUE(runtime.peer(device.id));
  EXPECT_EQ(runtime.peer(device.id)->online, GetParam().online);
}

INSTANTIATE_TEST_SUITE_P(Ages, RuntimeOnline,
                         ::testing::Values(OnlineCase{"Fresh", 9.9, true},
                                           OnlineCase{"TenSeconds", 10.0, false}),
                         [](const ::testing::TestParamInfo<OnlineCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeSnapshotRules, HistoricalRowsListTrustedContactsWithHistory) {
  velmorine::testing::TemporaryFolder folder;
  const Device shown, hidden, hiddenWithWork, withoutHistory, discovered, renamedKey;
  // A contact filed apart from its device's identifier, whose device now presents another key.
  const std::string separate = testing::newID();
  testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
    document.trust[shown.id] = shown.trust(true, true);
    document.trust[hidden.id] = hidden.trust();
    document.trust[hiddenWithWork.id] = hiddenWithWork.trust();
    document.trust[withoutHistory.id] = withoutHistory.trust();
    document.trust[discovered.id] = discovered.trust();
    document.trust[separate] = renamedKey.trust();
    document.hiddenHistoricalPeers = std::set<std::string>{hidden.id, hiddenWithWork.id};
  });
  {
    auto history = testing::openSeedHistory(folder.path());
    std::vector<store::ConversationHistoryRecord> records;
    for (const auto* contact : {&shown.id, &hidden.id, &discovered.id, &separate}) {
      records.push_back(
          testing::recordOf(testing::outgoingMessage(*contact, MessageDelivery::acknowledged)));
    }
    testing::saveSeedRecords(*history, records);
    testing::enqueueSeed(*history,
                         testing::outgoingMessage(hiddenWithWork.id, MessageDelivery::queued));
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.startNetworking());
  runtime.discovery()->hear(discovered.announcement("Discovered"));
  const auto other = *VEIdentity::generate();
  runtime.discovery()->hear(*VEProtocol::discoveryWithID(
      renamedKey.id, "Renamed", other->fingerprint(), std::string(64, 'a'), 4100, 15, 1));
  ASSERT_TRUE(runtime.waitForSnapshot([&](const RuntimeSnapshot& s) {
    return std::ranges::count_if(s.peers,
                                 [](const RuntimePeer& peer) { return !peer.historical; }) == 2;
  }));
  const auto& peers = runtime.latest().peers;

  auto rowsOf = [&](const std::string& id) {
    return std::count_if(peers.begin(), peers.end(),
                         [&](const RuntimePeer& peer) { return peer.id == id; });
  };
  EXPECT_EQ(rowsOf(hidden.id), 0);
  EXPECT_EQ(rowsOf(withoutHistory.id), 0);
  EXPECT_EQ(rowsOf(hiddenWithWork.id), 1);
  EXPECT_EQ(rowsOf(discovered.id), 1);
  EXPECT_FALSE(runtime.peer(discovered.id)->historical);
  EXPECT_EQ(runtime.peer(discovered.id)->name, "Discovered");

  const RuntimePeer* row = runtime.peer(shown.id);
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->historical);
  EXPECT_EQ(row->wireID, shown.id);
  EXPECT_EQ(row->name, "Velmorine");
  EXPECT_EQ(row->platform, "unknown");
  EXPECT_FALSE(row->online);
  EXPECT_TRUE(row->blocked);
  EXPECT_TRUE(row->verified);
  EXPECT_FALSE(row->keyChanged);

  // The separate contact's device is discovered with another key: its own row and the
  // contact's historical row, which takes the announced name and shows the changed key.
  EXPECT_EQ(rowsOf(renamedKey.id), 1);
  EXPECT_FALSE(runtime.peer(renamedKey.id)->historical);
  const auto separateRow = std::find_if(
      peers.begin(), peers.end(), [&](const RuntimePeer& peer) { return peer.id == separate; });
  ASSERT_NE(separateRow, peers.end());
  EXPECT_TRUE(separateRow->historical);
  EXPECT_EQ(separateRow->wireID, renamedKey.id);
  EXPECT_EQ(separateRow->name, "Renamed");
  EXPECT_TRUE(separateRow->keyChanged);

  // Discovered rows come first, sorted by name; historical rows after them.
  size_t firstHistorical = peers.size();
  for (size_t i = 0; i < peers.size(); ++i) {
    if (peers[i].historical && firstHistorical == peers.size()) firstHistorical = i;
    if (i > firstHistorical) {
      EXPECT_TRUE(peers[i].historical) << i;
    }
  }
}

TEST_F(RuntimeSnapshotRules, AnIncomingItemIsCarriedByOneSnapshotOnly) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const size_t before = runtime.snapshots.size();
  runtime.onQueue([&] {
    runtime->liveIncoming.insert("first");
    runtime->publishSnapshot();
    runtime->publishSnapshot();
  });
  runtime.settle();
  ASSERT_EQ(runtime.snapshots.size(), before + 2);
  EXPECT_EQ(runtime.snapshots[before].liveIncoming, std::set<std::string>{"first"});
  EXPECT_EQ(runtime.snapshots[before + 1].liveIncoming, std::set<std::string>{});
}

TEST_F(RuntimeSnapshotRules, APeerWhoseUnhidingFailedStaysOutUntilAResetSucceeds) {
  velmorine::testing::TemporaryFolder folder;
  const Device device;
  testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
    document.trust[device.id] = device.trust();
    document.hiddenHistoricalPeers = std::set<std::string>{device.id};
  });
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.startNetworking());
  {
    testing::BrokenStoreWrites broken(folder.path());
    runtime.discovery()->hear(device.announcement("Peer"));
    ASSERT_TRUE(runtime.waitForSnapshot(
        [](const RuntimeSnapshot& s) { return s.status == "devices.resetFailed"; }));
    EXPECT_FALSE(runtime.peer(device.id));
    // Still hidden and still failing on the next announcement.
    runtime.discovery()->hear(device.announcement("Peer", 2));
    runtime.settle();
    EXPECT_EQ(runtime.latest().status, "devices.resetFailed");
  }
  bool reset = false;
  runtime->resetDevices([&](bool done) { reset = done; });
  ASSERT_TRUE(world.main.waitUntil([&] { return reset; }));
  EXPECT_EQ(runtime.latest().status, "network.searching");
  // Heard again, it is unhidden and listed.
  runtime.discovery()->hear(device.announcement("Peer", 3));
  ASSERT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return TestRuntime::peerIn(s, device.id) != nullptr; }));
  EXPECT_EQ(runtime.latest().status, "network.searching");
  EXPECT_FALSE(runtime.onQueue(
      [&] { return runtime->store->document().hiddenHistoricalPeers->contains(device.id); }));
}

}  // namespace
}  // namespace velmorine::runtime
