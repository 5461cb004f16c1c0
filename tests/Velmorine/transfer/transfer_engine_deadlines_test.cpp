// Every unfinished transfer carries one deadline: the table of them, each met a moment early and
// a moment late on a hand-moved clock; the queue that waits without one; and the table of works
// kept, pruned, stopped and cancelled by peer.

#include <gtest/gtest.h>

#include <set>

#include "Velmorine/transfer/transfer_engine.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/engine_fixture.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/Velmorine/transfer/scripted_peer.h"

namespace velmorine::transfer {
namespace {

namespace fs = std::filesystem;
using testing::Device;
using testing::EngineWorld;
using testing::ScriptedSender;
using velmorine::testing::patternBytes;
using velmorine::testing::writeFile;

class EngineDeadlines : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
    fs::create_directories(source);
    writeFile(source / "small.bin", patternBytes(1000, 5));
    // Larger than a transfer may queue on its connection.
    writeFile(source / "large.bin", patternBytes(6 << 20, 6));
    ASSERT_TRUE(world.link(a, r));
    ASSERT_TRUE(world.link(s, b));
  }

  // `a` offers a file to the scripted receiver `r`.
  std::string offerToScript(const fs::path& file) {
    std::string id;
    world.run([&] { id = a.engine->offer(testing::prepared({file}), r.id); });
    world.settle();
    return id;
  }
  // The scripted receiver answers the latest offer: accepting with a token, or declining.
  void answer(bool accept) {
    const auto offer = r.receivedOfKind("TRANSFER_OFFER").back();
    const auto fields = *VEProtocol::transferFields(offer, a.id);
    nlohmann::json answer = {{"correlationID", fields["frameID"]},
                             {"accept", accept},
                             {"transferID", fields["transferID"]}};
    if (accept) {
      answer["token"] = std::string(64, 'b');
    } else {
      answer["reason"] = "declined";
    }
    world.send(r.controls.at(a.id),
               *VEProtocol::transferFrameWithKind("TRANSFER_RESPONSE", r.id, answer));
  }
  void acceptAtB(const std::string& id) {
    world.run([&] { b.engine->accept(id, ContentUrl::file(folder.path(), true)); });
    world.settle();
  }

  velmorine::testing::ReceiveFolder folder;
  fs::path source = folder / "source";
  EngineWorld world;
  Device& a = world.device("a");
  Device& r = world.device("r", false);
  Device& s = world.device("s", false);
  Device& b = world.device("b");
};

class DeadlineTable;

// One way a transfer comes to wait, how long it may, and how it ends when it waits too long.
struct DeadlineCase {
  const char* name;
  // Brings a transfer to the moment its deadline starts; gives its engine and identifier.
  std::function<std::pair<Device*, std::string>(DeadlineTable&)> arrive;
  double seconds;
  TransferState before;
  TransferState after;
  std::string error;
};

class DeadlineTable : public EngineDeadlines, public ::testing::WithParamInterface<DeadlineCase> {
 public:
  using EngineDeadlines::acceptAtB;
  using EngineDeadlines::answer;
  using EngineDeadlines::offerToScript;
  Device& sender() { return a; }
  Device& receiver() { return b; }
  Device& scriptSender() { return s; }
  EngineWorld& theWorld() { return world; }
  const fs::path& sources() const { return source; }
};

TEST_P(DeadlineTable, EndsJustAfterItsDeadlineAndNotBefore) {
  const auto& test = GetParam();
  const auto [device, id] = test.arrive(*this);
  ASSERT_EQ(world.transfer(*device, id)->state, test.before);
  world.tickAfter(test.seconds - 0.25);
  EXPECT_EQ(world.transfer(*device, id)->state, test.before);
  world.tickAfter(0.5);
  const auto ended = world.transfer(*device, id).value();
  EXPECT_EQ(ended.state, test.after);
  EXPECT_EQ(ended.error, test.error);
}

const std::string kIncomplete = "transfer.error.incomplete";

INSTANTIATE_TEST_SUITE_P(
    Cases, DeadlineTable,
    ::testing::Values(
        DeadlineCase{"senderOffered",
                     [](DeadlineTable& fixture) {
                       return std::pair(&fixture.sender(),
                                        fixture.offerToScript(fixture.sources() / "small.bin"));
                     },
                     300, TransferState::offered, TransferState::failed, kIncomplete},
        DeadlineCase{"senderTransferringWithoutProgress",
                     [](DeadlineTable& fixture) {
                       const auto id = fixture.offerToScript(fixture.sources() / "large.bin");
                       // The receiver stops reading once a little arrived: frames pile up, stop.
                       fixture.sender().writeAllowance = 1 << 20;
                       fixture.answer(true);
                       return std::pair(&fixture.sender(), id);
                     },
                     30, TransferState::transferring, TransferState::failed, kIncomplete},
        DeadlineCase{"senderAwaitingCommit",
                     [](DeadlineTable& fixture) {
                       const auto id = fixture.offerToScript(fixture.sources() / "small.bin");
                       fixture.answer(true);
                       return std::pair(&fixture.sender(), id);
                     },
                     300, TransferState::awaitingCommit, TransferState::unconfirmed, kIncomplete},
        DeadlineCase{"receiverOffering",
                     [](DeadlineTable& fixture) {
                       ScriptedSender script(fixture.theWorld(), fixture.scriptSender(),
                                             fixture.receiver());
                       script.control(script.offerFrame());
                       return std::pair(&fixture.receiver(), script.transferID);
                     },
                     30, TransferState::offering, TransferState::failed, kIncomplete},
        DeadlineCase{"receiverPending",
                     [](DeadlineTable& fixture) {
                       ScriptedSender script(fixture.theWorld(), fixture.scriptSender(),
                                             fixture.receiver());
                       script.offer();
                       return std::pair(&fixture.receiver(), script.transferID);
                     },
                     300, TransferState::pending, TransferState::failed, kIncomplete},
        DeadlineCase{"receiverAcceptedWithoutData",
                     [](DeadlineTable& fixture) {
                       ScriptedSender script(fixture.theWorld(), fixture.scriptSender(),
                                             fixture.receiver());
                       script.offer();
                       fixture.acceptAtB(script.transferID);
                       return std::pair(&fixture.receiver(), script.transferID);
                     },
                     60, TransferState::transferring, TransferState::failed, kIncomplete},
        DeadlineCase{"receiverBetweenFrames",
                     [](DeadlineTable& fixture) {
                       ScriptedSender script(fixture.theWorld(), fixture.scriptSender(),
                                             fixture.receiver());
                       script.offer();
                       fixture.acceptAtB(script.transferID);
                       const auto token = script.token();
                       script.openData();
                       script.onData(script.frame("DATA_HELLO", script.hello(token)));
                       script.onData(script.frame("FILE_BEGIN", script.fileFieldsOf(0)));
                       return std::pair(&fixture.receiver(), script.transferID);
                     },
                     30, TransferState::transferring, TransferState::failed, kIncomplete}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(EngineDeadlines, SenderThatFailsAfterItsTokenTellsTheReceiver) {
  const auto id = offerToScript(source / "large.bin");
  a.writeAllowance = 1 << 20;
  answer(true);
  world.tickAfter(TransferEngine::kFrameTime + 1);
  const auto failed = world.transfer(a, id).value();
  ASSERT_EQ(failed.state, TransferState::failed);
  EXPECT_EQ(failed.error, "transfer.error.incomplete");
  a.writeAllowance.reset();
  world.holdWrites(a, false);
  world.settle();
  const auto cancels = r.receivedOfKind("CANCEL");
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(VEProtocol::transferFields(cancels[0], a.id)->value("reason", ""), "sender_failed");
}

TEST_F(EngineDeadlines, SenderThatFailsBeforeAnyTokenSendsNothing) {
  const auto id = offerToScript(source / "small.bin");
  world.tickAfter(TransferEngine::kDecisionTime + 1);
  ASSERT_EQ(world.transfer(a, id)->state, TransferState::failed);
  EXPECT_TRUE(r.receivedOfKind("CANCEL").empty());
}

TEST_F(EngineDeadlines, FilesStreamInOrderWithChunksAtTheirOffsets) {
  fs::create_directories(source / "Set");
  writeFile(source / "Set" / "empty", std::vector<uint8_t>{});
  writeFile(source / "Set" / "edge", patternBytes(262145, 7));
  const auto id = offerToScript(source / "Set");
  answer(true);
  std::vector<std::string> stream;
  for (const auto& [frame, onData] : r.received) {
    if (!onData) continue;
    std::string step = frame.kind();
    if (frame.kind() == "FILE_CHUNK") {
      step += "@" +
              std::to_string(VEProtocol::transferFields(frame, a.id)->value("offset", uint64_t{0}));
    }
    if (frame.kind() == "TRANSFER_COMPLETE") {
      const auto fields = *VEProtocol::transferFields(frame, a.id);
      step += ":" + fields.value("status", "") + ":" +
              std::to_string(fields.value("bytes", uint64_t{0}));
    }
    stream.push_back(step);
  }
  // Entries are in name order: "edge" before "empty".
  EXPECT_EQ(stream, (std::vector<std::string>{"DATA_HELLO", "FILE_BEGIN", "FILE_CHUNK@0",
                                              "FILE_CHUNK@262144", "FILE_END", "FILE_BEGIN",
                                              "FILE_END", "TRANSFER_COMPLETE:sender_done:262145"}));
  EXPECT_EQ(world.transfer(a, id)->state, TransferState::awaitingCommit);
}

TEST_F(EngineDeadlines, FifthTransferWaitsQueuedWithoutADeadlineAndStartsOldestFirst) {
  std::vector<std::string> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(offerToScript(source / "small.bin"));
  // The same file, six batches: four run, two wait.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(world.transfer(a, ids[i])->state, TransferState::offered);
  for (int i = 4; i < 6; ++i) {
    EXPECT_EQ(world.transfer(a, ids[i])->state, TransferState::queued);
    EXPECT_EQ(world.work(a, ids[i])->deadline, kNoDeadline);
  }
  world.tickAfter(TransferEngine::kDecisionTime - 1);
  EXPECT_EQ(world.transfer(a, ids[4])->state, TransferState::queued);
  world.run([&] { a.engine->cancel(ids[1]); });
  world.settle();
  EXPECT_EQ(world.transfer(a, ids[4])->state, TransferState::offered);
  EXPECT_EQ(world.transfer(a, ids[5])->state, TransferState::queued);
}

// A table of `count` works, every twelfth of the first 120 ended and idle (oldest first), the
// others running or ended with file work in flight; pruned, it keeps these creation orders.
std::set<int> prunedTable(TransferEngine& engine, const std::string& peer, int count) {
  for (int i = 0; i < count; ++i) {
    RuntimeTransfer transfer;
    transfer.id = core::Uuid::random().to_string();
    transfer.peerID = peer;
    transfer.createdAt = store::Date{static_cast<double>(i)};
    const bool prunable = i % 12 == 0 && i < 120;
    transfer.state = prunable || i % 2 ? TransferState::failed : TransferState::pending;
    auto entry = std::make_shared<TransferWork>(transfer, "x", std::vector<uint8_t>{}, 0);
    entry->wireID = transfer.id;
    if (!prunable && i % 2) entry->pendingIO = 1;
    engine.insertWork(entry);
  }
  engine.prune();
  std::set<int> kept;
  for (const auto& [id, entry] : engine.work) {
    kept.insert(static_cast<int>(entry->snapshot.createdAt.timeIntervalSinceReferenceDate));
  }
  for (auto& [id, entry] : engine.work) entry->pendingIO = 0;
  engine.work.clear();
  engine.wireTransfers.clear();
  return kept;
}

TEST_F(EngineDeadlines, PruneDropsTheOldestIdleEndedWorksUntil127Remain) {
  world.run([&] {
    // 128 works: only the oldest prunable one goes.
    auto kept = prunedTable(*b.engine, s.id, 128);
    EXPECT_EQ(kept.size(), 127u);
    EXPECT_FALSE(kept.contains(0));
    EXPECT_TRUE(kept.contains(12));
    // 140 works, 10 of them prunable: all 10 go, and 130 are left.
    kept = prunedTable(*b.engine, s.id, 140);
    EXPECT_EQ(kept.size(), 130u);
    for (int i = 0; i < 120; i += 12) EXPECT_FALSE(kept.contains(i)) << i;
  });
}

TEST_F(EngineDeadlines, StoppingEndsEverythingWithoutAFailureText) {
  const auto awaiting = offerToScript(source / "small.bin");
  answer(true);
  const auto offered = offerToScript(source / "small.bin");
  ScriptedSender script(world, s, b);
  script.offer();
  a.engine->durableOutgoing = [&](const RuntimeTransfer& transfer) {
    return transfer.id == offered;
  };
  world.run([&] {
    a.engine->stopAll();
    b.engine->stopAll();
  });
  world.settle();
  const auto expect = [&](Device& device, const std::string& id, TransferState state) {
    const auto transfer = world.transfer(device, id).value();
    EXPECT_EQ(transfer.state, state) << id;
    EXPECT_FALSE(transfer.error) << id;
  };
  expect(a, awaiting, TransferState::unconfirmed);
  expect(a, offered, TransferState::unconfirmed);  // the outbox's: it will offer it again
  expect(b, script.transferID, TransferState::cancelled);
  world.run([&] {
    EXPECT_TRUE(a.engine->data.empty());
    EXPECT_TRUE(a.engine->dataTransfers.empty());
    EXPECT_FALSE(a.engine->stopping);
  });
}

TEST_F(EngineDeadlines, PeerResetKeepsDurableOnesUnconfirmedAndForgettingDropsThem) {
  const auto durable = offerToScript(source / "small.bin");
  const auto plain = offerToScript(source / "small.bin");
  a.engine->durableOutgoing = [&](const RuntimeTransfer& transfer) {
    return transfer.id == durable;
  };
  world.run([&] { a.engine->cancelPeer(r.id); });
  EXPECT_EQ(world.transfer(a, durable)->state, TransferState::unconfirmed);
  EXPECT_EQ(world.transfer(a, plain)->state, TransferState::cancelled);

  const auto another = offerToScript(source / "small.bin");
  world.run([&] { a.engine->cancelPeer(r.id, true, "contact-" + r.id); });
  world.run([&] { EXPECT_TRUE(a.engine->work.empty()); });
  EXPECT_FALSE(world.transfer(a, another));
}

TEST_F(EngineDeadlines, CancelWithoutItsControlSessionStillEndsTheTransfer) {
  const auto id = offerToScript(source / "small.bin");
  world.run([&] { a.controls.clear(); });
  world.run([&] { a.engine->cancel(id); });
  world.settle();
  EXPECT_EQ(world.transfer(a, id)->state, TransferState::cancelled);
  EXPECT_TRUE(r.receivedOfKind("CANCEL").empty());
}

TEST_F(EngineDeadlines, PeerCancelAfterADisconnectRelabelsTheFailure) {
  ScriptedSender script(world, s, b);
  script.offer();
  acceptAtB(script.transferID);
  const auto token = script.token();
  script.openData();
  script.onData(script.frame("DATA_HELLO", script.hello(token)));
  world.run([&] {
    script.data->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
  });
  world.settle();
  ASSERT_EQ(world.transfer(b, script.transferID)->error, "transfer.error.disconnected");
  script.control(script.frame("CANCEL", {{"reason", "sender_failed"}}));
  const auto transfer = world.transfer(b, script.transferID).value();
  EXPECT_EQ(transfer.state, TransferState::cancelled);
  EXPECT_FALSE(transfer.error);
}

TEST_F(EngineDeadlines, AcceptingTooLargeAnOfferFailsAtOnceAndStaysPending) {
  ScriptedSender script(world, s, b);
  // Entries only: 70 files of 16 GiB, more than one data session carries.
  script.entries = {{0, "Huge", true, 0, ScriptedSender::kModified, std::nullopt}};
  script.files.clear();
  uint64_t total = 0;
  for (int64_t i = 1; i <= 70; ++i) {
    script.entries.push_back({i, "Huge/" + std::to_string(i), false, uint64_t{1} << 34,
                              ScriptedSender::kModified, std::string(64, 'a')});
    total += uint64_t{1} << 34;
  }
  script.control(script.frame("TRANSFER_OFFER", {{"frameID", script.offerID},
                                                 {"name", "Huge"},
                                                 {"entryCount", script.entries.size()},
                                                 {"topLevelCount", 1},
                                                 {"totalBytes", total}}));
  const auto sent = script.entryFrames();
  for (const auto& frame : sent) script.control(frame);
  script.control(script.endFrame(sent));
  ASSERT_EQ(world.transfer(b, script.transferID)->state, TransferState::pending);
  acceptAtB(script.transferID);
  const auto transfer = world.transfer(b, script.transferID).value();
  EXPECT_EQ(transfer.state, TransferState::pending);
  EXPECT_EQ(transfer.error, "transfer.error.sizeLimit");
  EXPECT_TRUE(b.journals.empty());
  EXPECT_TRUE(script.token().empty());
}

TEST_F(EngineDeadlines, FlushCompletesAfterFileWorkQueuedBeforeIt) {
  std::vector<std::string> order;
  std::promise<void> done;
  world.run([&] {
    b.engine->io->async([&] { order.push_back("write"); });
    b.engine->flush([&] {
      order.push_back("flush");
      done.set_value();
    });
  });
  done.get_future().wait();
  EXPECT_EQ(order, (std::vector<std::string>{"write", "flush"}));
}

}  // namespace
}  // namespace velmorine::transfer
