// Starting the runtime, starting and stopping networking, sleep and wake, and shutdown.

#include <gtest/gtest.h>

#include <regex>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

class RuntimeStart : public ::testing::Test {
 protected:
  RuntimeWorld world;
};

TEST_F(RuntimeStart, WithNetworkingOffInThePreferencesItEndsPaused) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  runtime.settle();
  const auto& snapshot = runtime.latest();
  EXPECT_EQ(snapshot.status, "network.paused");
  EXPECT_FALSE(snapshot.enabled);
  EXPECT_FALSE(snapshot.localID);
  EXPECT_EQ(snapshot.preferences.displayName, "Test Host");
  EXPECT_EQ(runtime.port(), 0);
}

TEST_F(RuntimeStart, ASecondStartChangesNothing) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  runtime.settle();
  const auto store = runtime.onQueue([&] { return runtime->store; });
  const auto port = runtime.port();
  const size_t published = runtime.snapshots.size();

  runtime->start();
  runtime.settle();
  EXPECT_EQ(runtime.snapshots.size(), published);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->store; }), store);
  EXPECT_EQ(runtime.port(), port);
}

TEST_F(RuntimeStart, ASecondInstanceOnTheSameFolderReportsAlreadyRunning) {
  TestRuntime first(world);
  ASSERT_TRUE(first.startNetworking());
  TestRuntime second(world, testing::RuntimeOptions().withFolder(first.folder()));
  ASSERT_TRUE(second.start());
  second.settle();

  const auto& snapshot = second.latest();
  EXPECT_EQ(snapshot.status, "storage.alreadyRunning");
  EXPECT_FALSE(snapshot.enabled);
  // Without a store the snapshot shows the default preferences.
  EXPECT_EQ(snapshot.preferences.displayName, "Velmorine Mac");
  EXPECT_FALSE(snapshot.preferences.networkEnabled);

  // Nothing can turn networking on.
  second->setNetworkEnabled(true);
  second.settle();
  EXPECT_FALSE(second.latest().enabled);
  EXPECT_EQ(second.port(), 0);
  // The first instance runs on.
  EXPECT_TRUE(first.latest().enabled);
}

TEST_F(RuntimeStart, EveryNetworkStartHasANewNonceUnderTheSameLocalID) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  const std::string localID = runtime.id();
  const std::regex hex64("[0-9a-f]{64}");
  std::set<std::string> nonces;
  for (int run = 0; run < 3; ++run) {
    if (run > 0) {
      runtime->setNetworkEnabled(false);
      ASSERT_TRUE(runtime.waitForSnapshot([](const auto& s) { return !s.enabled; }));
      runtime->setNetworkEnabled(true);
      ASSERT_TRUE(runtime.waitForSnapshot(
          [](const auto& s) { return s.enabled && s.status == "network.searching"; }));
    }
    const std::string nonce = runtime.onQueue([&] { return runtime->nonce; });
    EXPECT_TRUE(std::regex_match(nonce, hex64)) << nonce;
    nonces.insert(nonce);
    EXPECT_EQ(runtime.id(), localID);
  }
  EXPECT_EQ(nonces.size(), 3u);
  // Stopped networking keeps no nonce but its local ID.
  runtime->setNetworkEnabled(false);
  ASSERT_TRUE(runtime.waitForSnapshot([](const auto& s) { return !s.enabled; }));
  EXPECT_EQ(runtime.onQueue([&] { return runtime->nonce; }), "");
  EXPECT_EQ(runtime.id(), localID);
}

TEST_F(RuntimeStart, SuspendingTwiceStopsNetworkingOnce) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  const uint64_t generation = runtime.onQueue([&] { return runtime->generation; });
  const size_t published = runtime.snapshots.size();

  runtime->suspend();
  runtime->suspend();
  runtime.settle();
  EXPECT_EQ(runtime.onQueue([&] { return runtime->generation; }), generation + 1);
  ASSERT_EQ(runtime.snapshots.size(), published + 1);
  EXPECT_FALSE(runtime.latest().enabled);
  EXPECT_EQ(runtime.latest().status, "network.paused");
  EXPECT_EQ(runtime.port(), 0);

  runtime->resume();
  EXPECT_TRUE(runtime.waitForSnapshot(
      [](const auto& s) { return s.enabled && s.status == "network.searching"; }));
}

TEST_F(RuntimeStart, ResumingWithoutASuspensionDoesNothing) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  runtime.settle();
  const uint64_t generation = runtime.onQueue([&] { return runtime->generation; });
  const auto port = runtime.port();
  const size_t published = runtime.snapshots.size();

  runtime->resume();
  runtime.settle();
  EXPECT_EQ(runtime.snapshots.size(), published);
  EXPECT_EQ(runtime.onQueue([&] { return runtime->generation; }), generation);
  EXPECT_EQ(runtime.port(), port);
}

TEST_F(RuntimeStart, ResumingWithNetworkingOffClearsTheSuspensionAndPublishesNothing) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  runtime->suspend();
  runtime.settle();
  const size_t published = runtime.snapshots.size();

  runtime->resume();
  runtime.settle();
  EXPECT_FALSE(runtime.onQueue([&] { return runtime->suspended; }));
  EXPECT_EQ(runtime.snapshots.size(), published);
}

TEST_F(RuntimeStart, WhileSuspendedTurningNetworkingOnWaitsForTheWake) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  runtime->suspend();
  runtime->setNetworkEnabled(true);
  runtime.settle();
  EXPECT_FALSE(runtime.latest().enabled);
  EXPECT_TRUE(runtime.latest().preferences.networkEnabled);

  runtime->resume();
  EXPECT_TRUE(runtime.waitForSnapshot([](const auto& s) { return s.enabled; }));
}

TEST_F(RuntimeStart, TheReadyListenerOfAStoppedRunChangesNothing) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  // The listener's ready report of the first run arrives after the second request stopped it.
  runtime->setNetworkEnabled(true);
  runtime->setNetworkEnabled(false);
  runtime.settle();
  EXPECT_TRUE(world.link.services().empty());
  EXPECT_EQ(runtime.latest().status, "network.paused");
  for (const auto& snapshot : runtime.snapshots) EXPECT_NE(snapshot.status, "network.searching");
}

class RuntimeShutdown : public RuntimeStart {};

TEST_F(RuntimeShutdown, TwoRequestsFinishOnceAndRunBothCompletionsInOrder) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.startNetworking());
  std::vector<int> completed;
  runtime->shutdown([&] { completed.push_back(1); });
  runtime->shutdown([&] { completed.push_back(2); });
  runtime->shutdown();  // without a completion
  ASSERT_TRUE(world.main.waitUntil([&] { return completed.size() == 2; }));
  EXPECT_EQ(completed, (std::vector<int>{1, 2}));
  runtime.settle();
  EXPECT_EQ(completed, (std::vector<int>{1, 2}));

  // The store and its lock are released; networking is gone.
  EXPECT_EQ(runtime.port(), 0);
  EXPECT_FALSE(runtime.onQueue([&] { return runtime->store != nullptr; }));
  EXPECT_NO_THROW(store::LocalStore{runtime.folder()});

  // A request after the end only completes.
  const size_t published = runtime.snapshots.size();
  runtime->shutdown([&] { completed.push_back(3); });
  ASSERT_TRUE(world.main.waitUntil([&] { return completed.size() == 3; }));
  runtime.settle();
  EXPECT_EQ(runtime.snapshots.size(), published);
}

TEST_F(RuntimeShutdown, ARuntimeThatNeverStartedFinishes) {
  TestRuntime runtime(world);
  EXPECT_TRUE(runtime.shutdown());
}

TEST_F(RuntimeShutdown, AStartAfterTheShutdownBeganDoesNothing) {
  TestRuntime runtime(world);
  bool done = false;
  runtime->shutdown([&] { done = true; });
  runtime->start();
  ASSERT_TRUE(world.main.waitUntil([&] { return done; }));
  runtime.settle();
  EXPECT_TRUE(runtime.snapshots.empty());
  EXPECT_NO_THROW(store::LocalStore{runtime.folder()});
}

TEST_F(RuntimeShutdown, LiveMessagesAreWrittenBackBeforeTheStoreCloses) {
  const std::string contact = testing::newID();
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  // A message whose delivery changed in memory only, as an acknowledgement would leave it.
  const auto message = testing::outgoingMessage(contact, MessageDelivery::acknowledged);
  runtime.onQueue([&] {
    runtime->messages.push_back(message);
    runtime->selectedHistory.reset();
  });
  ASSERT_TRUE(runtime.shutdown());

  auto history = testing::openSeedHistory(runtime.folder());
  const auto stored = testing::storedRecord(*history, "message", contact, message.id);
  ASSERT_TRUE(stored);
  EXPECT_EQ(decodeRuntimeMessage(stored->payload), message);
  EXPECT_FALSE(stored->unsettled);
}

}  // namespace
}  // namespace velmorine::runtime
