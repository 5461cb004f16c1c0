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
  // Hands the album to the sender's attachment outbox; the completion's failure, if any, and the
  // batch's identifier.
  std::pair<std::optional<transfer::ContentFailure::Case>, std::string> sendFiles(
      TestRuntime& sender, const std::string& peerID) {
    const auto batch = prepared(files / "source" / "Album");
    bool done = false;
    std::optional<transfer::ContentFailure::Case> failure;
    sender->sendFiles(batch, peerID, [&](auto result) {
      failure = result;
      done = true;
    });
    EXPECT_TRUE(world.main.waitUntil([&] { return done; }));
    return {failure, batch->id().to_string()};
  }
  // The sender's outbox row of batch `id`, settled ones too.
  std::optional<store::ConversationOutboxEntry> outboxRow(TestRuntime& runtime,
                                                          const std::string& id) {
    return runtime.onQueue([&]() -> std::optional<store::ConversationOutboxEntry> {
      store::ConversationOutboxQuery query;
      query.kind = "transfer";
      query.allStates = true;
      for (auto& row : runtime->history->pendingOutboxEntries(query)) {
        if (row.record.id == id) return row;
      }
      return std::nullopt;
    });
  }
  store::StoreDocument document(TestRuntime& runtime) {
    return runtime.onQueue([&] { return runtime->store->document(); });
  }
  // A receive on a runtime of data folder `folder` whose commit fails after its rename (the
  // process might as well have died there), that runtime shut down; `received` names it.
  void receiveFailingAfterTheRename(
      const fs::path& folder, const std::shared_ptr<testing::MemoryIdentityKeychain>& keychain,
      std::string& received) {
    TestRuntime a(world);
    RuntimeOptions options;
    options.withFolder(folder).withKeychain(keychain);
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
  ASSERT_NO_FATAL_FAILURE(receiveFailingAfterTheRename(folder->path(), keychain, received));
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

TEST_F(RuntimeTransfers, SentFilesGoThroughTheOutboxAndItsRowSettlesOnCommit) {
  TestRuntime a(world), b(world);
  connect(a, b);
  const auto [failure, id] = sendFiles(a, b.id());
  ASSERT_EQ(failure, std::nullopt);
  const std::string received = acceptIncoming(b);
  ASSERT_TRUE(reaches(b, received, TransferState::committed));
  ASSERT_TRUE(reaches(a, id, TransferState::committed));
  EXPECT_EQ(
      velmorine::testing::readFile(destination / ("Velmorine-" + received) / "Album" / "a.bin"),
      velmorine::testing::patternBytes(300000, 1));
  const auto row = outboxRow(a, id);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->state, store::ConversationOutboxState::delivered);
  EXPECT_FALSE(row->record.unsettled);
  // Listed once, with the outbox's copy; its staging folder goes once it is delivered.
  int listed = 0;
  for (const auto& transfer : a.latest().transfers) listed += transfer.id == id;
  EXPECT_EQ(listed, 1);
  EXPECT_TRUE(a.waitOnQueue([&] { return !fs::exists(a.folder() / "attachment-outbox" / id); }));
}

TEST_F(RuntimeTransfers, FilesAreRefusedWhileNetworkingIsOff) {
  TestRuntime a(world);
  ASSERT_TRUE(a.start());
  const auto [failure, id] = sendFiles(a, "6f1c0b6e-2d4a-4c1e-9a51-3f0d2b7c8e10");
  EXPECT_EQ(failure, transfer::ContentFailure::Case::access);
  EXPECT_FALSE(fs::exists(a.folder() / "attachment-outbox" / id));
}

TEST_F(RuntimeTransfers, ClearingAConversationForgetsItsBatches) {
  TestRuntime a(world), b(world);
  connect(a, b);
  const auto [failure, id] = sendFiles(a, b.id());
  ASSERT_EQ(failure, std::nullopt);
  bool cleared = false;
  a->clearConversation(std::nullopt, b.id(), [&](bool result) { cleared = result; });
  ASSERT_TRUE(world.main.waitUntil([&] { return cleared; }));
  EXPECT_FALSE(outboxRow(a, id));
  EXPECT_FALSE(a.onQueue([&] { return a->attachmentOutbox().transfer(id).has_value(); }));
  EXPECT_TRUE(a.waitOnQueue([&] { return !fs::exists(a.folder() / "attachment-outbox" / id); }));
}

TEST_F(RuntimeTransfers, RecoveryIntoTheMovedDestinationSettlesItAndAnotherFolderDoesNot) {
  const auto folder = std::make_unique<velmorine::testing::TemporaryFolder>();
  auto keychain = std::make_shared<testing::MemoryIdentityKeychain>();
  std::string received;
  ASSERT_NO_FATAL_FAILURE(receiveFailingAfterTheRename(folder->path(), keychain, received));
  // The user moved the destination while the program was away.
  const fs::path moved = files / "moved";
  fs::rename(destination, moved);
  const fs::path other = files / "other";
  fs::create_directories(other);
  TestRuntime restarted(world, RuntimeOptions().withFolder(folder->path()).withKeychain(keychain));
  ASSERT_TRUE(restarted.start());
  ASSERT_TRUE(restarted.waitForSnapshot(
      [](const RuntimeSnapshot& snapshot) { return snapshot.recoveryNeeded; }));

  restarted->recoverReceives(other);
  // The engine's file work, queued after the recovery's, ends after it.
  bool flushed = false;
  restarted.onQueue([&] { restarted->transfers().flush([&] { flushed = true; }); });
  ASSERT_TRUE(restarted.waitOnQueue([&] { return flushed; }));
  restarted.settle();
  EXPECT_TRUE(restarted.latest().recoveryNeeded);
  EXPECT_EQ(document(restarted).pendingReceives->size(), 1u);

  restarted->recoverReceives(moved);
  ASSERT_TRUE(restarted.waitForSnapshot(
      [](const RuntimeSnapshot& snapshot) { return !snapshot.recoveryNeeded; }));
  const auto stored = document(restarted);
  ASSERT_EQ(stored.received.size(), 1u);
  EXPECT_EQ(stored.received[0].transferID.to_string(), received);
  EXPECT_TRUE(!stored.pendingReceives || stored.pendingReceives->empty());
  EXPECT_TRUE(fs::is_directory(moved / ("Velmorine-" + received) / "Album"));
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
