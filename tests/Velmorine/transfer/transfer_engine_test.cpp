// Two engines joined by real sessions: whole batches from offer to commit, and what happens
// around them when hooks fail, sources change, acknowledgements find no room, and offers are
// made again.

#include "Velmorine/transfer/transfer_engine.h"

#include <gtest/gtest.h>

#include "Velmorine/transfer/data_session_size.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/engine_fixture.h"
#include "tests/Velmorine/transfer/receive_folder.h"

namespace velmorine::transfer {
namespace {

namespace fs = std::filesystem;
using testing::Device;
using testing::EngineWorld;
using velmorine::testing::patternBytes;
using velmorine::testing::writeFile;

class EnginePair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
    fs::create_directories(source);
    fs::create_directories(destination);
    ASSERT_TRUE(world.link(a, b));
  }

  // A folder "Album" with a subfolder, an empty file, and files of one chunk and a little more.
  fs::path album() {
    const fs::path root = source / "Album";
    fs::create_directories(root / "inner");
    writeFile(root / "empty.txt", std::vector<uint8_t>{});
    writeFile(root / "one.bin", patternBytes(1000, 1));
    writeFile(root / "inner" / "two.bin", patternBytes(262145, 2));
    return root;
  }

  std::string offer(const std::shared_ptr<PreparedBatch>& batch, Device& from, Device& to) {
    std::string id;
    world.run([&] { id = from.engine->offer(batch, to.id); });
    world.settle();
    return id;
  }
  // Why `from` refused to offer `batch` to `to`; nothing when it offered it.
  std::optional<ContentFailure::Case> refusedOffer(const std::shared_ptr<PreparedBatch>& batch,
                                                   Device& from, Device& to) {
    std::optional<ContentFailure::Case> failure;
    world.run([&] {
      try {
        from.engine->offer(batch, to.id);
      } catch (const ContentFailure& refused) {
        failure = refused.failure();
      }
    });
    return failure;
  }
  // The one incoming transfer `to` holds.
  std::string incoming(Device& to) {
    std::string id;
    world.run([&] {
      for (const auto& transfer : to.engine->transfers()) {
        if (!transfer.outgoing && !isEnded(transfer.state)) id = transfer.id;
      }
    });
    return id;
  }
  void accept(Device& to, const std::string& id) {
    world.run([&] { to.engine->accept(id, ContentUrl::file(destination, true)); });
    world.settle();
  }
  TransferState stateOf(Device& device, const std::string& id) {
    return world.transfer(device, id).value().state;
  }

  velmorine::testing::ReceiveFolder folder;
  fs::path source = folder / "source";
  fs::path destination = folder / "destination";
  EngineWorld world;
  Device& a = world.device("a");
  Device& b = world.device("b");
};

TEST_F(EnginePair, BatchArrivesWholeAndBothSidesCommit) {
  const fs::path root = album();
  writeFile(source / "loose.txt", "loose");
  const auto batch = testing::prepared({root, source / "loose.txt"});
  const std::string sent = offer(batch, a, b);
  EXPECT_EQ(sent, batch->id().to_string());
  EXPECT_EQ(stateOf(a, sent), TransferState::offered);

  const std::string received = incoming(b);
  ASSERT_FALSE(received.empty());
  // Each attempt travels under an identifier of its own; the record keeps the batch's.
  EXPECT_NE(received, sent);
  const auto pending = world.transfer(b, received).value();
  EXPECT_EQ(pending.state, TransferState::pending);
  EXPECT_EQ(pending.name, "Album");
  EXPECT_EQ(pending.itemCount, 6);
  EXPECT_EQ(pending.items.size(), 6u);
  EXPECT_EQ(pending.totalBytes, batch->totalBytes());

  accept(b, received);
  const auto done = world.transfer(b, received).value();
  EXPECT_EQ(done.state, TransferState::committed);
  EXPECT_EQ(done.bytes, batch->totalBytes());
  const fs::path arrived = destination / ("Velmorine-" + received);
  EXPECT_EQ(done.location, ContentUrl::file(arrived, true).text());
  EXPECT_EQ(stateOf(a, sent), TransferState::committed);
  EXPECT_EQ(world.transfer(a, sent)->bytes, batch->totalBytes());
  EXPECT_EQ(testing::treeListing(arrived / "Album"),
            testing::asReceived(testing::treeListing(root)));
  EXPECT_EQ(velmorine::testing::readFile(arrived / "loose.txt"),
            velmorine::testing::readFile(source / "loose.txt"));
  EXPECT_TRUE(testing::leftovers(destination).empty());
  ASSERT_EQ(b.journals.size(), 1u);
  ASSERT_EQ(b.commits.size(), 1u);
  EXPECT_EQ(b.commits[0].to_string(), received);
  // A committed receive keeps its journal for the index, which the commit record holds.
  EXPECT_TRUE(b.retired.empty());
  EXPECT_TRUE(a.refused.empty());
  EXPECT_TRUE(b.refused.empty());

  // The sender, confirmed, lets its data session go, and with it the receiver's.
  world.run([&] {
    EXPECT_TRUE(b.engine->data.empty());
    EXPECT_TRUE(a.engine->data.empty());
  });
}

TEST_F(EnginePair, BatchOfOnlyFoldersCommitsWithNoBytes) {
  fs::create_directories(source / "Empty" / "deeper");
  const auto batch = testing::prepared({source / "Empty"});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  accept(b, received);
  EXPECT_EQ(stateOf(b, received), TransferState::committed);
  EXPECT_EQ(stateOf(a, sent), TransferState::committed);
  EXPECT_TRUE(fs::is_directory(destination / ("Velmorine-" + received) / "Empty" / "deeper"));
}

TEST_F(EnginePair, DeclineRejectsBothSides) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  world.run([&] { b.engine->decline(received); });
  world.settle();
  EXPECT_EQ(stateOf(b, received), TransferState::rejected);
  EXPECT_EQ(stateOf(a, sent), TransferState::rejected);
  EXPECT_FALSE(world.transfer(a, sent)->error);
}

TEST_F(EnginePair, UserCancelOnEitherSideCancelsBoth) {
  for (const bool bySender : {true, false}) {
    const auto batch = testing::prepared({album()});
    const std::string sent = offer(batch, a, b);
    const std::string received = incoming(b);
    accept(b, received);
    // Committed already: cancel a fresh transfer at its start instead.
    const auto again = testing::prepared({source / "Album" / "one.bin"});
    const std::string second = offer(again, a, b);
    const std::string secondIn = incoming(b);
    world.run([&] {
      if (bySender) {
        a.engine->cancel(second);
      } else {
        b.engine->cancel(secondIn);
      }
    });
    world.settle();
    EXPECT_EQ(stateOf(a, second), TransferState::cancelled) << bySender;
    EXPECT_EQ(stateOf(b, secondIn), TransferState::cancelled) << bySender;
    EXPECT_EQ(stateOf(a, sent), TransferState::committed);
    fs::remove_all(destination);
    fs::create_directories(destination);
  }
}

TEST_F(EnginePair, OfferMadeAgainAfterAFailureCommitsAtTheReceiverHoldingTheFirst) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string first = incoming(b);
  // The sender's answer never comes: the receiver's decision time runs out on both sides.
  world.tickAfter(TransferEngine::kDecisionTime + 1);
  EXPECT_EQ(stateOf(a, sent), TransferState::failed);
  EXPECT_EQ(stateOf(b, first), TransferState::failed);

  // The same batch again: a new attempt under a new wire identifier, taken by the receiver
  // although it still holds the failed one.
  EXPECT_EQ(offer(batch, a, b), sent);
  const std::string second = incoming(b);
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  accept(b, second);
  EXPECT_EQ(stateOf(a, sent), TransferState::committed);
  EXPECT_EQ(stateOf(b, second), TransferState::committed);
  EXPECT_EQ(stateOf(b, first), TransferState::failed);
  world.run([&] { EXPECT_TRUE(a.engine->work.at(sent)->batch == nullptr); });
}

TEST_F(EnginePair, OfferOfABatchStillUnderWayIsAConflict) {
  const auto batch = testing::prepared({album()});
  offer(batch, a, b);
  const auto failure = refusedOffer(batch, a, b);
  EXPECT_EQ(failure, ContentFailure::Case::conflict);
}

TEST_F(EnginePair, SourceChangedDuringTheSendFailsItAndCancelsTheReceiver) {
  const fs::path root = album();
  const auto batch = testing::prepared({root});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  // Changed after preparation: the reader notices when it reaches the file.
  velmorine::testing::rewriteKeepingModificationTime(root / "inner" / "two.bin");
  accept(b, received);
  const auto failed = world.transfer(a, sent).value();
  EXPECT_EQ(failed.state, TransferState::failed);
  EXPECT_EQ(failed.error, "transfer.error.changed");
  // The sender had its token, so the receiver hears of the failure and drops its stage.
  EXPECT_EQ(stateOf(b, received), TransferState::cancelled);
  EXPECT_TRUE(testing::leftovers(destination).empty());
  EXPECT_FALSE(fs::exists(destination / ("Velmorine-" + received)));
  ASSERT_EQ(b.retired.size(), 1u);
  EXPECT_EQ(b.retired[0], b.journals.at(0));
}

TEST_F(EnginePair, AcknowledgementWithoutRoomWaitsForItWithinItsThreeSeconds) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  b.acknowledgementsRefused = true;
  accept(b, received);
  EXPECT_EQ(stateOf(b, received), TransferState::committed);
  EXPECT_EQ(stateOf(a, sent), TransferState::awaitingCommit);
  // Room comes back within the three seconds: the next tick sends it.
  b.acknowledgementsRefused = false;
  world.tickAfter(1);
  EXPECT_EQ(stateOf(a, sent), TransferState::committed);
}

TEST_F(EnginePair, AcknowledgementThatNeverFindsRoomLeavesTheSenderUnconfirmed) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  b.acknowledgementsRefused = true;
  accept(b, received);
  world.tickAfter(TransferEngine::kCommittedLinger + 0.5);
  EXPECT_EQ(stateOf(b, received), TransferState::committed);
  const auto unconfirmed = world.transfer(a, sent).value();
  EXPECT_EQ(unconfirmed.state, TransferState::unconfirmed);
  EXPECT_EQ(unconfirmed.error, "transfer.error.disconnected");
}

// A hook that throws, and what the transfer shows for it.
struct HookFault {
  const char* name;
  std::function<void(Device& sender, Device& receiver)> arm;
  TransferState sender;
  TransferState receiver;
  std::optional<std::string> receiverError;
  bool folderArrives;
  int storageFailures;
};

class EngineHookFaults : public EnginePair, public ::testing::WithParamInterface<HookFault> {};

TEST_P(EngineHookFaults, EndStatesMatchTheFault) {
  const auto& fault = GetParam();
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  fault.arm(a, b);
  accept(b, received);
  EXPECT_EQ(stateOf(a, sent), fault.sender);
  const auto transfer = world.transfer(b, received).value();
  EXPECT_EQ(transfer.state, fault.receiver);
  EXPECT_EQ(transfer.error, fault.receiverError);
  EXPECT_EQ(fs::exists(destination / ("Velmorine-" + received)), fault.folderArrives);
  EXPECT_TRUE(testing::leftovers(destination).empty());
  EXPECT_EQ(b.storageFailures, fault.storageFailures);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineHookFaults,
    ::testing::Values(HookFault{"journalRecord", [](Device&, Device& r) { r.journalFails = true; },
                                TransferState::offered, TransferState::pending,
                                std::string("transfer.error.io"), false, 0},
                      HookFault{"persistOnAccept",
                                [](Device&, Device& r) {
                                  r.persistFails = [](const RuntimeTransfer& accepting) {
                                    return accepting.state == TransferState::accepting;
                                  };
                                },
                                TransferState::offered, TransferState::pending,
                                std::string("transfer.error.io"), false, 0},
                      // After the rename: the folder stays committed, the sender hears so, and the
                      // journal is kept for the next start to index it.
                      HookFault{"commitRecord", [](Device&, Device& r) { r.commitFails = true; },
                                TransferState::committed, TransferState::committed, std::nullopt,
                                true, 1},
                      HookFault{"persistOnCommit",
                                [](Device&, Device& r) {
                                  r.persistFails = [](const RuntimeTransfer& committing) {
                                    return committing.state == TransferState::committed;
                                  };
                                },
                                TransferState::committed, TransferState::committed, std::nullopt,
                                true, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(EnginePair, SaveFailingWhenTheOfferIsMadeStoresNothing) {
  a.persistFails = [](const RuntimeTransfer&) { return true; };
  const auto batch = testing::prepared({album()});
  bool threw = false;
  world.run([&] {
    try {
      a.engine->offer(batch, b.id);
    } catch (const std::runtime_error&) {
      threw = true;
    }
    EXPECT_TRUE(a.engine->work.empty());
  });
  EXPECT_TRUE(threw);
}

TEST_F(EnginePair, SaveFailingWhenAQueuedTransferStartsFailsIt) {
  a.persistFails = [](const RuntimeTransfer& t) { return t.state == TransferState::offering; };
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const auto failed = world.transfer(a, sent).value();
  EXPECT_EQ(failed.state, TransferState::failed);
  EXPECT_EQ(failed.error, "transfer.error.io");
  world.run([&] { EXPECT_TRUE(b.engine->work.empty()); });
}

TEST_F(EnginePair, AcceptFailingForSpaceStaysPendingAndCanBeAcceptedAgain) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  // A destination that cannot be opened, then a good one.
  world.run([&] { b.engine->accept(received, ContentUrl::file(destination / "missing", true)); });
  world.settle();
  auto transfer = world.transfer(b, received).value();
  EXPECT_EQ(transfer.state, TransferState::pending);
  EXPECT_EQ(transfer.error, "transfer.error.access");
  EXPECT_NEAR(world.work(b, received)->deadline, world.now() + TransferEngine::kDecisionTime, 1);
  accept(b, received);
  EXPECT_EQ(stateOf(b, received), TransferState::committed);
  EXPECT_EQ(stateOf(a, sent), TransferState::committed);
}

TEST_F(EnginePair, DataSessionLostWhileAwaitingTheCommitLeavesTheSenderUnconfirmed) {
  const auto batch = testing::prepared({album()});
  const std::string sent = offer(batch, a, b);
  const std::string received = incoming(b);
  // The receiver's disk is slow: its file work is held until the sender is waiting.
  b.acknowledgementsRefused = true;
  accept(b, received);
  ASSERT_EQ(stateOf(a, sent), TransferState::awaitingCommit);
  world.run([&] {
    b.dataSessions.back()->close(
        std::make_exception_ptr(network::SecureConnectionFailure::closed()));
  });
  world.settle();
  const auto transfer = world.transfer(a, sent).value();
  EXPECT_EQ(transfer.state, TransferState::unconfirmed);
  EXPECT_EQ(transfer.error, "transfer.error.disconnected");
}

TEST_F(EnginePair, OfferTooLargeForADataSessionIsRefusedBeforeItIsMade) {
  // Entries only: nothing is read before the refusal.
  std::vector<ContentEntry> entries{{0, "huge", true, 0, "2026-01-01T00:00:00.000Z", std::nullopt}};
  uint64_t total = 0;
  for (int64_t i = 1; i <= 70; ++i) {
    const uint64_t size = uint64_t{1} << 34;
    entries.push_back({i, "huge/" + std::to_string(i), false, size, "2026-01-01T00:00:00.000Z",
                       std::string(64, 'a')});
    total += size;
  }
  ASSERT_GT(dataSessionBytes(entries), kMaxDataSessionBytes);
  auto batch = std::make_shared<PreparedBatch>(
      core::Uuid::random(), entries, total, 1, std::vector<std::unique_ptr<ScopedContentAccess>>{},
      std::vector<SourceStamp>{}, std::vector<PreparedSource>{}, nullptr);
  const auto failure = refusedOffer(batch, a, b);
  EXPECT_EQ(failure, ContentFailure::Case::sizeLimit);
}

TEST_F(EnginePair, ManifestHeldBackByAFullConnectionResumesWithEachEntryHashedOnce) {
  // A folder of 4,096 entries with long paths: its manifest outgrows what a transfer may queue.
  const fs::path root = source / "Many";
  const fs::path deep =
      root / std::string(240, 'a') / std::string(240, 'b') / std::string(240, 'c');
  fs::create_directories(deep);
  for (int i = 0; i < 4092; ++i) {
    writeFile(deep / (std::to_string(i) + "-" + std::string(190, 'n')), std::vector<uint8_t>{});
  }
  const auto batch = testing::prepared({root});
  ASSERT_EQ(batch->entries().size(), 4096u);
  world.holdWrites(a, true);
  std::string sent;
  world.run([&] { sent = a.engine->offer(batch, b.id); });
  world.settle();
  // Paused at the limit, part of the way through, with the next frame kept.
  world.run([&] {
    const auto& entry = *a.engine->work.at(sent);
    EXPECT_EQ(entry.snapshot.state, TransferState::offering);
    EXPECT_GT(entry.controlCursor, 1);
    EXPECT_LT(entry.controlCursor, 4097);
    EXPECT_TRUE(entry.manifestOutput.has_value());
  });
  world.holdWrites(a, false);
  world.run([&] { a.engine->streamManifest(b.id); });
  world.settle();
  EXPECT_EQ(stateOf(a, sent), TransferState::offered);
  const std::string received = incoming(b);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(stateOf(b, received), TransferState::pending);
  EXPECT_TRUE(b.refused.empty());
}

}  // namespace
}  // namespace velmorine::transfer
