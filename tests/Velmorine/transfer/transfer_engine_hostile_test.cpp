// A receiving engine against a peer that sends what it likes over a real session: broken
// manifests, forged or reused admissions, data out of order or wrong. Each case ends as the
// rules say, and nothing ever appears in the destination outside the stage.

#include <gtest/gtest.h>

#include "Velmorine/transfer/transfer_engine.h"
#include "tests/Velmorine/transfer/engine_fixture.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/Velmorine/transfer/scripted_peer.h"

namespace velmorine::transfer {
namespace {

namespace fs = std::filesystem;
using testing::Device;
using testing::EngineWorld;
using testing::ScriptedSender;
using testing::Session;

class HostileSender : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
    ASSERT_TRUE(world.link(s, b));
  }

  std::optional<RuntimeTransfer> received() { return world.transfer(b, script.transferID); }
  // Offers and has the engine accept; true once the script holds the token.
  bool accepted() {
    script.offer();
    world.run([&] { b.engine->accept(script.transferID, ContentUrl::file(folder.path(), true)); });
    world.settle();
    if (script.token().empty()) {
      const auto t = received();
      ADD_FAILURE() << (t ? std::string(rawValue(t->state)) + " " + t->error.value_or("") : "none")
                    << " refused " << b.refused.size() << " got " << s.received.size();
    }
    return !script.token().empty();
  }
  bool sessionKept() {
    bool kept = false;
    world.run([&] { kept = b.controls.contains(s.id) && !b.controls.at(s.id)->closed(); });
    return kept && b.refused.empty();
  }
  // Nothing in the destination but a stage: no received folder, no stray file.
  bool onlyTheStage() {
    for (const auto& item : fs::directory_iterator(folder.path())) {
      if (item.path().filename().string().rfind(".velmorine-", 0) != 0) return false;
    }
    return true;
  }

  velmorine::testing::ReceiveFolder folder;
  EngineWorld world;
  Device& s = world.device("s", false);
  Device& b = world.device("b");
  ScriptedSender script{world, s, b};
};

TEST_F(HostileSender, HonestScriptCommits) {
  ASSERT_TRUE(accepted());
  script.openData();
  ASSERT_TRUE(script.onData(script.frame("DATA_HELLO", script.hello(script.token()))));
  script.sendFile(0);
  script.sendFile(1);
  script.onData(script.complete(script.totalBytes()));
  EXPECT_EQ(received()->state, TransferState::committed);
  EXPECT_EQ(s.receivedOfKind("TRANSFER_COMPLETE").size(), 1u);
  // One progress report per chunk and per finished file.
  EXPECT_EQ(s.receivedOfKind("TRANSFER_PROGRESS").size(), 2u + 2u + 1u);
}

// Manifests that are refused: the control session closes, and the transfer, left in offering,
// ends at its deadline.
struct ManifestAttack {
  const char* name;
  std::function<void(ScriptedSender&)> send;
};

class HostileManifest : public HostileSender,
                        public ::testing::WithParamInterface<ManifestAttack> {};

TEST_P(HostileManifest, IsRefusedAndLeavesNothing) {
  script.control(script.offerFrame());
  GetParam().send(script);
  EXPECT_FALSE(b.refused.empty());
  world.run([&] { EXPECT_FALSE(b.controls.contains(s.id)); });
  // The control session's end cancelled what the pair had.
  const auto transfer = received();
  ASSERT_TRUE(transfer);
  EXPECT_EQ(transfer->state, TransferState::cancelled);
  EXPECT_TRUE(fs::is_empty(folder.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileManifest,
    ::testing::Values(ManifestAttack{"entriesOutOfOrder",
                                     [](ScriptedSender& script) {
                                       const auto frames = script.entryFrames();
                                       script.control(frames[0]);
                                       script.control(frames[2]);
                                     }},
                      ManifestAttack{"wrongDigest",
                                     [](ScriptedSender& script) {
                                       for (const auto& frame : script.entryFrames())
                                         script.control(frame);
                                       script.control(script.frame(
                                           "MANIFEST_END",
                                           {{"entryCount", 3}, {"sha256", std::string(64, '0')}}));
                                     }},
                      ManifestAttack{"pathLeavingTheFolder",
                                     [](ScriptedSender& script) {
                                       script.entries[1].path = "Docs/../../escape";
                                       script.control(script.entryFrames()[0]);
                                       script.control(script.entryFrames()[1]);
                                     }},
                      ManifestAttack{"entryWhoseParentIsAFile",
                                     [](ScriptedSender& script) {
                                       script.entries[2].path = "Docs/a.bin/inner";
                                       const auto sent = script.entryFrames();
                                       for (const auto& frame : sent) script.control(frame);
                                       script.control(script.endFrame(sent));
                                     }},
                      ManifestAttack{"moreEntriesThanOffered",
                                     [](ScriptedSender& script) {
                                       for (const auto& frame : script.entryFrames())
                                         script.control(frame);
                                       auto extra = script.entries[2];
                                       extra.index = 3;
                                       extra.path = "Docs/c.bin";
                                       script.control(script.frame(
                                           "MANIFEST_ENTRY", {{"index", extra.index},
                                                              {"path", extra.path},
                                                              {"size", extra.size},
                                                              {"directory", false},
                                                              {"modifiedUTC", extra.modifiedUTC},
                                                              {"sha256", *extra.sha256}}));
                                     }},
                      ManifestAttack{"answerToItsOwnOffer",
                                     [](ScriptedSender& script) {
                                       script.control(script.frame(
                                           "TRANSFER_RESPONSE", {{"correlationID", script.offerID},
                                                                 {"accept", false},
                                                                 {"reason", "declined"}}));
                                     }}),
    [](const auto& test) { return std::string(test.param.name); });

// Data that breaks the rules after a correct admission.
struct DataAttack {
  const char* name;
  std::function<void(ScriptedSender&)> send;
  // The end state, and the failure recorded when one is.
  TransferState state;
  std::optional<std::string> error;
  bool refused;  // the engine refused a frame (the data session closed)
};

class HostileData : public HostileSender, public ::testing::WithParamInterface<DataAttack> {};

TEST_P(HostileData, EndsAsTheRulesSayWithNothingOutsideTheStage) {
  ASSERT_TRUE(accepted());
  script.openData();
  ASSERT_TRUE(script.onData(script.frame("DATA_HELLO", script.hello(script.token()))));
  GetParam().send(script);
  // Whatever is left running ends by its deadline.
  world.tickAfter(TransferEngine::kFrameTime + 1);
  const auto transfer = received();
  EXPECT_EQ(transfer->state, GetParam().state);
  EXPECT_EQ(transfer->error, GetParam().error);
  EXPECT_EQ(!b.refused.empty(), GetParam().refused);
  EXPECT_TRUE(fs::is_empty(folder.path()));
  // The control session is not the data session's to close.
  world.run([&] { EXPECT_TRUE(b.controls.contains(s.id)); });
}

const std::string kDisconnected = "transfer.error.disconnected";

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileData,
    ::testing::Values(
        DataAttack{"chunkBeforeItsFile",
                   [](ScriptedSender& script) { script.onData(script.chunk(0, 0, 100)); },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"chunkOfAnotherFile",
                   [](ScriptedSender& script) {
                     script.onData(script.frame("FILE_BEGIN", script.fileFieldsOf(0)));
                     script.onData(script.chunk(1, 0, 10));
                   },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"gapBetweenChunks",
                   [](ScriptedSender& script) {
                     script.onData(script.frame("FILE_BEGIN", script.fileFieldsOf(0)));
                     script.onData(script.chunk(0, 0, 100));
                     script.onData(script.chunk(0, 200, 100));
                   },
                   TransferState::failed, std::string("transfer.error.invalidManifest"), false},
        DataAttack{"beginWithAnotherDigest",
                   [](ScriptedSender& script) {
                     auto fields = script.fileFieldsOf(0);
                     fields["sha256"] = std::string(64, '0');
                     script.onData(script.frame("FILE_BEGIN", fields));
                   },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"bytesThatAreNotTheFile",
                   [](ScriptedSender& script) {
                     script.files[0][5] ^= 0xff;
                     script.sendFile(0);
                   },
                   TransferState::failed, std::string("transfer.error.corrupt"), false},
        DataAttack{"endBeforeAllBytes",
                   [](ScriptedSender& script) {
                     script.onData(script.frame("FILE_BEGIN", script.fileFieldsOf(0)));
                     script.onData(script.chunk(0, 0, 1000));
                     script.onData(script.frame("FILE_END", script.fileFieldsOf(0)));
                   },
                   TransferState::failed, std::string("transfer.error.corrupt"), false},
        DataAttack{"completeBeforeEveryFile",
                   [](ScriptedSender& script) {
                     script.sendFile(0);
                     script.onData(script.complete(script.totalBytes()));
                   },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"shortComplete",
                   [](ScriptedSender& script) {
                     script.sendFile(0);
                     script.sendFile(1);
                     script.onData(script.complete(script.totalBytes() - 1));
                   },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"secondHello",
                   [](ScriptedSender& script) {
                     script.onData(script.frame("DATA_HELLO", script.hello(script.token())));
                   },
                   TransferState::failed, kDisconnected, true},
        DataAttack{"cancelInTheMiddle",
                   [](ScriptedSender& script) {
                     script.sendFile(0);
                     script.onData(script.frame("CANCEL", {{"reason", "cancelled"}}));
                   },
                   TransferState::cancelled, std::nullopt, false}),
    [](const auto& test) { return std::string(test.param.name); });

struct HelloAttack {
  const char* name;
  std::function<nlohmann::json(ScriptedSender&)> fields;
  double delay;
};

class HostileHello : public HostileSender, public ::testing::WithParamInterface<HelloAttack> {};

TEST_P(HostileHello, IsRefusedAndTheTokenStaysGoodForAnHonestOne) {
  ASSERT_TRUE(accepted());
  if (GetParam().delay > 0) world.advance(GetParam().delay);
  script.openData();
  script.onData(script.frame("DATA_HELLO", GetParam().fields(script)));
  EXPECT_EQ(b.refused, std::vector<std::string>{"DATA_HELLO"});
  world.run([&] { EXPECT_TRUE(b.engine->dataTransfers.empty()); });
  if (GetParam().delay > 0) return;  // expired: the honest one is refused too
  // The permit was not used up: a correct DATA_HELLO on a new session is admitted.
  b.refused.clear();
  script.openData();
  script.onData(script.frame("DATA_HELLO", script.hello(script.token())));
  EXPECT_TRUE(b.refused.empty());
  world.run([&] { EXPECT_EQ(b.engine->dataTransfers.size(), 1u); });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileHello,
    ::testing::Values(
        HelloAttack{"wrongToken",
                    [](ScriptedSender& script) { return script.hello(std::string(64, '0')); }, 0},
        HelloAttack{"otherControlSession",
                    [](ScriptedSender& script) {
                      auto fields = script.hello(script.token());
                      fields["sessionID"] = std::string(64, '1');
                      return fields;
                    },
                    0},
        HelloAttack{"otherRecipient",
                    [](ScriptedSender& script) {
                      auto fields = script.hello(script.token());
                      fields["recipient"] = "00000000-0000-4000-8000-0000000000ff";
                      return fields;
                    },
                    0},
        HelloAttack{"afterItsMinute",
                    [](ScriptedSender& script) { return script.hello(script.token()); },
                    TransferEngine::kTokenTime}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(HostileSender, DataSessionThatNeverSaysHelloIsClosedAfterTwelveSeconds) {
  ASSERT_TRUE(accepted());
  script.openData();
  world.run([&] { EXPECT_EQ(b.engine->data.size(), 1u); });
  world.tickAfter(TransferEngine::kDataHelloTime - 0.5);
  world.run([&] { EXPECT_EQ(b.engine->data.size(), 1u); });
  world.tickAfter(1);
  world.run([&] { EXPECT_TRUE(b.engine->data.empty()); });
  // The transfer itself waits for its own deadline.
  EXPECT_EQ(received()->state, TransferState::transferring);
}

TEST_F(HostileSender, SecondDataSessionWithTheUsedTokenIsRefused) {
  ASSERT_TRUE(accepted());
  script.openData();
  script.onData(script.frame("DATA_HELLO", script.hello(script.token())));
  ASSERT_TRUE(b.refused.empty());
  const Session first = script.data;
  script.openData();
  script.onData(script.frame("DATA_HELLO", script.hello(script.token())));
  EXPECT_EQ(b.refused, std::vector<std::string>{"DATA_HELLO"});
  // The first session still carries the transfer to its end.
  script.data = first;
  script.sendFile(0);
  script.sendFile(1);
  script.onData(script.complete(script.totalBytes()));
  EXPECT_EQ(received()->state, TransferState::committed);
}

// What a receiver refuses because of its own state, it drops unanswered: the session stays, and
// so does every other transfer of the pair.
class BusyReceiver : public HostileSender {};

TEST_F(BusyReceiver, OfferBeyondFourRunningIsDroppedWithItsManifest) {
  std::vector<std::unique_ptr<ScriptedSender>> running;
  for (int i = 0; i < 4; ++i) {
    running.push_back(std::make_unique<ScriptedSender>(world, s, b));
    running.back()->offer();
  }
  world.run([&] { EXPECT_EQ(b.engine->activeCount(), 4u); });
  script.offer();
  EXPECT_FALSE(received());
  EXPECT_TRUE(sessionKept());
  EXPECT_TRUE(s.receivedOfKind("TRANSFER_RESPONSE").empty());
  EXPECT_TRUE(s.receivedOfKind("CANCEL").empty());
  // Once one of the four ends, an offer is taken again.
  world.run([&] { b.engine->decline(running[0]->transferID); });
  world.settle();
  ScriptedSender later(world, s, b);
  later.offer();
  EXPECT_EQ(world.transfer(b, later.transferID)->state, TransferState::pending);
  EXPECT_TRUE(sessionKept());
}

TEST_F(BusyReceiver, RepeatedOfferOfALiveTransferIsDroppedAndTheLiveOneGoesOn) {
  ASSERT_TRUE(accepted());
  script.offer();  // the same identifier again, with its whole manifest
  EXPECT_TRUE(sessionKept());
  EXPECT_EQ(received()->state, TransferState::transferring);
  script.openData();
  script.onData(script.frame("DATA_HELLO", script.hello(script.token())));
  script.sendFile(0);
  script.sendFile(1);
  script.onData(script.complete(script.totalBytes()));
  EXPECT_EQ(received()->state, TransferState::committed);
  // Committed, the identifier is still not taken again.
  script.offer();
  EXPECT_TRUE(sessionKept());
  EXPECT_EQ(received()->state, TransferState::committed);
}

TEST_F(BusyReceiver, RepeatedOfferOfAFailedTransferIsTaken) {
  script.offer();
  world.tickAfter(TransferEngine::kDecisionTime + 1);
  ASSERT_EQ(received()->state, TransferState::failed);
  script.offerID = core::Uuid::random().to_string();
  script.offer();
  EXPECT_TRUE(sessionKept());
  EXPECT_EQ(received()->state, TransferState::pending);
  world.run([&] { b.engine->accept(script.transferID, ContentUrl::file(folder.path(), true)); });
  world.settle();
  EXPECT_FALSE(script.token().empty());
}

TEST_F(BusyReceiver, FullTableDropsTheOffer) {
  // 128 ended transfers that cannot be pruned: each still has file work in flight.
  world.run([&] {
    for (int i = 0; i < 128; ++i) {
      RuntimeTransfer transfer;
      transfer.id = core::Uuid::random().to_string();
      transfer.peerID = s.id;
      transfer.state = TransferState::failed;
      auto entry = std::make_shared<TransferWork>(transfer, "x", std::vector<uint8_t>{}, 0);
      entry->wireID = transfer.id;
      entry->pendingIO = 1;
      b.engine->insertWork(entry);
    }
  });
  script.offer();
  EXPECT_FALSE(received());
  EXPECT_TRUE(sessionKept());
}

}  // namespace
}  // namespace velmorine::transfer
