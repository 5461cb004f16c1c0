// Two runtimes in one process, over loopback TCP: a batch offered through the runtime arrives,
// and the runtime keeps its books on it: the history rows, the store's pending receives and
// received index, and what a later start finds when those books could not be written.

#include <gtest/gtest.h>

#include <atomic>

#include "Velmorine/transfer/content_preparation.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_folder.h"

namespace velmorine::runtime {
namespace {

namespace fs = std::filesystem;
using testing::RuntimeOptions;
using testing::RuntimeWorld;
using testing::TestRuntime;
using transfer::TransferState;

const transfer::RuntimeTransfer* transferIn(
    const RuntimeSnapshot& snapshot,
    const std::function<bool(const transfer::RuntimeTransfer&)>& match) {
  for (const auto& transfer : snapshot.transfers) {
    if (match(transfer)) return &transfer;
  }
  return nullptr;
}

std::shared_ptr<transfer::PreparedBatch> prepared(const fs::path& path) {
  transfer::ContentCancellation cancellation;
  return transfer::prepareBatch({transfer::ContentUrl::file(path, fs::is_directory(path))}, false,
                                cancellation, {}, nullptr);
}

class RuntimeTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!files.usable()) GTEST_SKIP() << files.why();
    fs::create_directories(files / "source" / "Album" / "inner");
    velmorine::testing::writeFile(files / "source" / "Album" / "a.bin",
                                  velmorine::testing::patternBytes(300000, 1));
    velmorine::testing::writeFile(files / "source" / "Album" / "inner" / "b.bin",
                                  velmorine::testing::patternBytes(10, 2));
    fs::create_directories(destination);
  }

  void connect(TestRuntime& sender, TestRuntime& receiver) {
    ASSERT_TRUE(sender.startNetworking());
    ASSERT_TRUE(receiver.startNetworking());
    ASSERT_TRUE(testing::connectPair(world, sender, receiver));
  }

  // Offers the album; the sender's identifier of it.
  std::string offer(TestRuntime& sender, TestRuntime& receiver) {
    std::optional<std::expected<std::string, transfer::ContentFailure::Case>> result;
    sender->offerBatch(prepared(files / "source" / "Album"), receiver.id(),
                       [&](auto offered) { result = offered; });
    EXPECT_TRUE(world.main.waitUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(result && result->has_value());
    return result && *result ? **result : std::string();
  }
  // Waits for the receiver's pending offer and accepts it; its identifier.
  std::string acceptIncoming(TestRuntime& receiver) {
    std::string id;
    EXPECT_TRUE(receiver.waitForSnapshot([&](const RuntimeSnapshot& snapshot) {
      const auto* pending = transferIn(snapshot, [](const auto& transfer) {
        return !transfer.outgoing && transfer.state == TransferState::pending;
      });
      if (pending) id = pending->id;
      return pending != nullptr;
    }));
    receiver->acceptTransfer(id, destination);
    return id;
  }
  bool reaches(TestRuntime& runtime, const std::string& id, TransferState state) {
    return runtime.waitForSnapshot([&](const RuntimeSnapshot& snapshot) {
      return transferIn(snapshot, [&](const auto& transfer) {
               return transfer.id == id && transfer.state == state;
             }) != nullptr;
    });
  }
  store::StoreDocument document(TestRuntime& runtime) {
    return runtime.onQueue([&] { return runtime->store->document(); });
  }

  velmorine::testing::ReceiveFolder files;
  fs::path destination = files / "destination";
  RuntimeWorld world;
};

TEST_F(RuntimeTransfers, OfferedBatchArrivesAndTheReceiverIndexesIt) {
  TestRuntime a(world), b(world);
  connect(a, b);
  const std::string sent = offer(a, b);
  const std::string received = acceptIncoming(b);
  ASSERT_TRUE(reaches(b, received, TransferState::committed));
  ASSERT_TRUE(reaches(a, sent, TransferState::committed));
  EXPECT_EQ(
      velmorine::testing::readFile(destination / ("Velmorine-" + received) / "Album" / "a.bin"),
      velmorine::testing::patternBytes(300000, 1));

  const auto stored = document(b);
  ASSERT_EQ(stored.received.size(), 1u);
  EXPECT_EQ(stored.received[0].transferID.to_string(), received);
  EXPECT_TRUE(!stored.pendingReceives || stored.pendingReceives->empty());
  // The last destination used becomes the default one.
  EXPECT_TRUE(stored.preferences.destinationBookmark.has_value());
  // Both histories hold the ended transfer.
  b.onQueue([&] {
    const auto row = b->historyTransfers.find(
        transferKey(*transferIn(b.latest(), [&](auto& t) { return t.id == received; })));
    ASSERT_NE(row, b->historyTransfers.end());
    EXPECT_EQ(row->second.state, TransferState::committed);
  });
}

TEST_F(RuntimeTransfers, FullReceivedIndexLetsItsOldestEntryGo) {
  TestRuntime a(world), b(world);
  connect(a, b);
  const auto filler = b.onQueue([&] {
    std::vector<store::ReceiveIndexEntry> full;
    for (size_t i = 0; i < store::LocalStore::kMaximumReceivedEntries; ++i) {
      full.push_back({core::Uuid::random(), {1, 2, 3}, store::Date{static_cast<double>(i)}});
    }
    b->store->update([&](store::StoreDocument& document) { document.received = full; });
    return full;
  });
  offer(a, b);
  const std::string received = acceptIncoming(b);
  ASSERT_TRUE(reaches(b, received, TransferState::committed));
  const auto stored = document(b);
  ASSERT_EQ(stored.received.size(), store::LocalStore::kMaximumReceivedEntries);
  EXPECT_EQ(stored.received.front().transferID, filler[1].transferID);
  EXPECT_EQ(stored.received.back().transferID.to_string(), received);
  EXPECT_NE(b.latest().status, "storage.unavailable");
}

// The commit's bookkeeping fails after the rename: the folder stays, the sender still hears of
// the commit, and the next start finds the journal and indexes the folder.
TEST_F(RuntimeTransfers, CommitWhoseRecordFailsIsIndexedAtTheNextStart) {
  const auto folder = std::make_unique<velmorine::testing::TemporaryFolder>();
  auto keychain = std::make_shared<testing::MemoryIdentityKeychain>();
  std::unique_ptr<testing::BrokenStoreWrites> broken;
  std::string received;
  {
    TestRuntime a(world);
    RuntimeOptions options;
    options.withFolder(folder->path()).withKeychain(keychain);
    // Once the payload is verified, every later write of the store fails.
    options.receiveCheckpoint = [&](std::string_view point) {
      if (point == "commit.verified" && !broken) {
        broken = std::make_unique<testing::BrokenStoreWrites>(folder->path());
      }
    };
    TestRuntime b(world, options);
    connect(a, b);
    const std::string sent = offer(a, b);
    received = acceptIncoming(b);
    ASSERT_TRUE(reaches(b, received, TransferState::committed));
    ASSERT_TRUE(reaches(a, sent, TransferState::committed));
    EXPECT_TRUE(b.waitForSnapshot(
        [](const RuntimeSnapshot& snapshot) { return snapshot.status == "storage.unavailable"; }));
    EXPECT_EQ(document(b).pendingReceives->size(), 1u);
    EXPECT_TRUE(fs::is_directory(destination / ("Velmorine-" + received)));
  }
  broken->mend();
  TestRuntime restarted(world, RuntimeOptions().withFolder(folder->path()).withKeychain(keychain));
  ASSERT_TRUE(restarted.start());
  ASSERT_TRUE(restarted.waitOnQueue(
      [&] { return restarted->store && restarted->store->document().received.size() == 1; }));
  const auto stored = document(restarted);
  EXPECT_EQ(stored.received[0].transferID.to_string(), received);
  EXPECT_TRUE(!stored.pendingReceives || stored.pendingReceives->empty());
  EXPECT_FALSE(restarted.latest().recoveryNeeded);
}

// The commit itself fails after its rename (the process might as well have died there): the
// transfer fails, the folder stays and the next start indexes it.
TEST_F(RuntimeTransfers, CommitFailingAfterItsRenameIsIndexedAtTheNextStart) {
  const auto folder = std::make_unique<velmorine::testing::TemporaryFolder>();
  auto keychain = std::make_shared<testing::MemoryIdentityKeychain>();
  std::string received;
  {
    TestRuntime a(world);
    RuntimeOptions options;
    options.withFolder(folder->path()).withKeychain(keychain);
    options.receiveCheckpoint = [](std::string_view point) {
      if (point == "commit.renamed")
        throw transfer::ContentFailure(transfer::ContentFailure::Case::io);
    };
    TestRuntime b(world, options);
    connect(a, b);
    offer(a, b);
    received = acceptIncoming(b);
    ASSERT_TRUE(reaches(b, received, TransferState::failed));
    b.settle();
    ASSERT_TRUE(b.shutdown());
  }
  EXPECT_TRUE(fs::is_directory(destination / ("Velmorine-" + received) / "Album"));
  TestRuntime restarted(world, RuntimeOptions().withFolder(folder->path()).withKeychain(keychain));
  ASSERT_TRUE(restarted.start());
  ASSERT_TRUE(restarted.waitOnQueue(
      [&] { return restarted->store && restarted->store->document().received.size() == 1; }));
  EXPECT_EQ(document(restarted).received[0].transferID.to_string(), received);
  // Nothing but the received folder is left in the destination.
  for (const auto& item : fs::directory_iterator(destination)) {
    EXPECT_EQ(item.path().filename().string(), "Velmorine-" + received);
  }
}

TEST_F(RuntimeTransfers, DeclineAndCancelReachTheEngine) {
  TestRuntime a(world), b(world);
  connect(a, b);
  const std::string first = offer(a, b);
  std::string incoming;
  ASSERT_TRUE(b.waitForSnapshot([&](const RuntimeSnapshot& snapshot) {
    const auto* pending = transferIn(
        snapshot, [](const auto& transfer) { return transfer.state == TransferState::pending; });
    if (pending) incoming = pending->id;
    return pending != nullptr;
  }));
  b->declineTransfer(incoming);
  ASSERT_TRUE(reaches(a, first, TransferState::rejected));

  const std::string second = offer(a, b);
  a->cancelTransfer(second);
  EXPECT_TRUE(reaches(a, second, TransferState::cancelled));
}

TEST_F(RuntimeTransfers, DataSessionForAPeerWithoutControlSessionIsRefusedWithoutDialling) {
  TestRuntime a(world);
  ASSERT_TRUE(a.startNetworking());
  const auto outcome = a.onQueue([&] {
    const size_t before = a->sessions.size();
    try {
      a->openDataSession("00000000-0000-4000-8000-0000000000bb");
    } catch (const transfer::ContentFailure& failure) {
      return std::pair(failure.failure(), a->sessions.size() - before);
    }
    return std::pair(transfer::ContentFailure::Case::io, a->sessions.size() - before);
  });
  EXPECT_EQ(outcome.first, transfer::ContentFailure::Case::access);
  EXPECT_EQ(outcome.second, 0u);
}

}  // namespace
}  // namespace velmorine::runtime
