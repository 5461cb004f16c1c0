#include "Velmorine/transfer/durable_attachment_outbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "Velmorine/store/history/conversation_history_failure.h"
#include "Velmorine/transfer/content_preparation.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using State = store::ConversationOutboxState;
using testing::patternBytes;
using testing::writeFile;

const std::string kPeer = "6f1c0b6e-2d4a-4c1e-9a51-3f0d2b7c8e10";
const std::string kContact = "0a9b8c7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d";
const std::string kOtherPeer = "1b2c3d4e-5f60-4172-8394-a5b6c7d8e9f0";
const std::string kOtherContact = "2c3d4e5f-6071-4283-9405-b6c7d8e9f0a1";

// Completions arrive on "the main queue": here any thread, handed over under a lock.
class Completions {
 public:
  void post(std::function<void()> work) { work(); }
  void add(std::optional<Case> result) {
    std::lock_guard lock(mutex_);
    results_.push_back(result);
    ready_.notify_all();
  }
  std::optional<Case> next() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return taken_ < results_.size(); });
    return results_[taken_++];
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::optional<Case>> results_;
  std::size_t taken_ = 0;
};

class Outbox : public ::testing::Test {
 public:
  testing::TemporaryFolder folder;
  std::filesystem::path sources = folder / "sources";
  ContentUrl root = ContentUrl::file(folder / "data/attachment-outbox", true);
  std::shared_ptr<platform::ManualUptimeClock> clock =
      std::make_shared<platform::ManualUptimeClock>();
  platform::SerialQueue queue{"test.runtime", clock};
  std::shared_ptr<store::ConversationHistory> history =
      std::make_shared<store::ConversationHistory>(folder / "data/history.sqlite");
  Completions completions;
  double wall = 1.8e9;
  std::map<std::string, std::vector<uint8_t>> keys{{kContact, std::vector<uint8_t>(32, 7)},
                                                   {kOtherContact, std::vector<uint8_t>(32, 9)}};
  bool historyOpen = true;
  bool allowedNow = true;
  bool onlineNow = false;
  std::set<std::string> onlinePeers;  // online besides everyone while onlineNow
  std::optional<Case> offerFails;
  std::vector<std::shared_ptr<PreparedBatch>> offered;
  int connects = 0;
  std::vector<std::string> reminded;
  int changes = 0;
  std::vector<std::string> events;  // order of completion, changed and offer
  std::shared_ptr<DurableAttachmentOutbox> outbox;

  void SetUp() override {
    std::filesystem::create_directories(sources);
    outbox = makeOutbox();
  }

  void TearDown() override {
    queue.sync([&] { outbox.reset(); });
  }

  std::shared_ptr<DurableAttachmentOutbox> makeOutbox() { return makeOutboxOn(queue); }

  std::shared_ptr<DurableAttachmentOutbox> makeOutboxOn(platform::SerialQueue& on) {
    DurableAttachmentOutbox::Services services;
    services.mainQueue = [this](std::function<void()> work) { completions.post(std::move(work)); };
    services.wallClock = [this] { return wall; };
    services.now = [] { return store::Date::fromSystemTime(std::chrono::system_clock::now()); };
    auto made = DurableAttachmentOutbox::create(on, root, std::move(services));
    made->history = [this] { return historyOpen ? history : nullptr; };
    made->recipientKey = [this](const std::string&,
                                const std::string& contact) -> std::optional<std::vector<uint8_t>> {
      const auto found = keys.find(contact);
      if (found == keys.end()) return std::nullopt;
      return found->second;
    };
    made->allowed = [this](const std::string&, const std::string&) { return allowedNow; };
    made->online = [this](const std::string& peer, const std::vector<uint8_t>&) {
      return onlineNow || onlinePeers.contains(peer);
    };
    made->offer = [this](std::shared_ptr<PreparedBatch> batch, const std::string&) {
      if (offerFails) throw ContentFailure(*offerFails);
      events.push_back("offer");
      offered.push_back(std::move(batch));
    };
    made->connect = [this](const std::string&) { ++connects; };
    made->remind = [this](const std::string&, const std::vector<uint8_t>&, const std::string& id) {
      reminded.push_back(id);
    };
    made->changed = [this] {
      events.push_back("changed");
      ++changes;
    };
    return made;
  }

  std::shared_ptr<PreparedBatch> prepare(const std::string& name, std::size_t size = 1000,
                                         uint8_t seed = 1) {
    std::filesystem::create_directories(sources / name);
    writeFile(sources / name / "a.bin", patternBytes(size, seed));
    writeFile(sources / name / "b.txt", "b");
    ContentCancellation cancellation;
    return prepareBatch({ContentUrl::file(sources / name, true)}, false, cancellation, {}, nullptr);
  }

  // Runs on the runtime queue; what it throws is thrown here.
  template <typename Body>
  auto onQueue(Body&& body) {
    using Result = decltype(body());
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
      queue.sync([&] {
        try {
          body();
        } catch (...) {
          failure = std::current_exception();
        }
      });
      if (failure) std::rethrow_exception(failure);
    } else {
      std::optional<Result> result;
      queue.sync([&] {
        try {
          result.emplace(body());
        } catch (...) {
          failure = std::current_exception();
        }
      });
      if (failure) std::rethrow_exception(failure);
      return std::move(*result);
    }
  }

  // Lets queued file work finish and its continuations run.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      outbox->io().sync([] {});
      queue.sync([] {});
    }
  }

  std::optional<Case> send(const std::shared_ptr<PreparedBatch>& batch,
                           const std::string& contact = kContact,
                           std::shared_ptr<ContentCancellation> cancellation = nullptr) {
    const std::string peer = contact == kContact ? kPeer : kOtherPeer;
    onQueue([&] {
      outbox->enqueue(batch, peer, contact, cancellation, [this](std::optional<Case> result) {
        events.push_back("completion");
        completions.add(result);
      });
    });
    auto result = completions.next();
    settle();
    return result;
  }

  static std::string idOf(const std::shared_ptr<PreparedBatch>& batch) {
    return batch->id().to_string();
  }

  std::vector<store::ConversationOutboxEntry> rows(bool allStates = true) {
    store::ConversationOutboxQuery query;
    query.kind = "transfer";
    query.allStates = allStates;
    return onQueue([&] { return history->pendingOutboxEntries(query); });
  }

  std::optional<store::ConversationOutboxEntry> rowOf(const std::string& id) {
    for (auto& row : rows()) {
      if (row.record.id == id) return row;
    }
    return std::nullopt;
  }

  RuntimeTransfer storedOf(const std::string& id) {
    return decodeRuntimeTransferPayload(rowOf(id).value().record.payload);
  }

  RuntimeTransfer memoryOf(const std::string& id) {
    return onQueue([&] { return outbox->transfer(id); }).value();
  }

  bool staged(const std::string& id) { return std::filesystem::exists(root.path() / id); }

  void pump() {
    onQueue([&] { outbox->pump(); });
    settle();
  }

  // A report of the engine for the batch.
  bool report(const std::string& id, TransferState state, uint64_t bytes = 0,
              std::optional<std::string> error = std::nullopt) {
    auto transfer = memoryOf(id);
    transfer.state = state;
    transfer.bytes = bytes;
    transfer.error = error;
    return onQueue([&] { return outbox->record(transfer); });
  }
};

TEST_F(Outbox, EnqueueStagesRecordsThreeRowsAndCompletesBeforeChangedAndThePass) {
  onlineNow = true;
  const auto batch = prepare("album");
  EXPECT_EQ(send(batch), std::nullopt);
  const std::string id = idOf(batch);
  EXPECT_TRUE(staged(id));
  const auto row = rowOf(id).value();
  EXPECT_EQ(row.record.peer, kContact);
  EXPECT_EQ(row.recipientKey, keys[kContact]);
  EXPECT_EQ(row.state, State::sending);  // the pass offered it at once
  EXPECT_EQ(row.attempts, 1);
  EXPECT_FALSE(onQueue([&] { return history->attachmentSource(row); }).empty());
  const auto stored = storedOf(id);
  EXPECT_EQ(stored.name, "album");
  EXPECT_EQ(stored.itemCount, 3);
  EXPECT_TRUE(stored.outgoing);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "completion");
  EXPECT_EQ(events[1], "changed");
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0]->id(), batch->id());
  EXPECT_TRUE(onQueue([&] { return outbox->knows(id); }));
  EXPECT_EQ(onQueue([&] { return outbox->order().size(); }), 1u);
}

struct Refusal {
  const char* name;
  std::function<void(Outbox&)> arrange;
};

class EnqueueRefusals : public Outbox, public ::testing::WithParamInterface<Refusal> {};

TEST_P(EnqueueRefusals, AreAccessAndLeaveNothing) {
  GetParam().arrange(*this);
  const auto batch = prepare("album");
  EXPECT_EQ(send(batch), Case::access);
  EXPECT_FALSE(staged(idOf(batch)));
  EXPECT_TRUE(rows().empty());
  EXPECT_FALSE(onQueue([&] { return outbox->knows(idOf(batch)); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnqueueRefusals,
    ::testing::Values(
        Refusal{"NoHistory", [](Outbox& fixture) { fixture.historyOpen = false; }},
        Refusal{"ShortKey", [](Outbox& fixture) { fixture.keys[kContact].resize(31); }},
        Refusal{"LongKey", [](Outbox& fixture) { fixture.keys[kContact].resize(33); }},
        Refusal{"NoKey", [](Outbox& fixture) { fixture.keys.erase(kContact); }},
        Refusal{"NotAllowed", [](Outbox& fixture) { fixture.allowedNow = false; }}),
    [](const ::testing::TestParamInfo<Refusal>& refusal) {
      return std::string(refusal.param.name);
    });

TEST_F(Outbox, AKeyChangedWhileStagingFailsAndRemovesTheCopy) {
  int asked = 0;
  outbox->recipientKey = [&](const std::string&, const std::string&) {
    return std::optional(std::vector<uint8_t>(32, ++asked == 1 ? 1 : 2));
  };
  const auto batch = prepare("album");
  EXPECT_EQ(send(batch), Case::access);
  EXPECT_FALSE(staged(idOf(batch)));
  EXPECT_TRUE(rows().empty());
}

TEST_F(Outbox, ACancelledPreparationEndsCancelledWithoutRows) {
  auto cancellation = std::make_shared<ContentCancellation>();
  cancellation->cancel();
  const auto batch = prepare("album");
  EXPECT_EQ(send(batch, kContact, cancellation), Case::cancelled);
  EXPECT_FALSE(staged(idOf(batch)));
  EXPECT_TRUE(rows().empty());
}

TEST_F(Outbox, AStagingConflictLeavesTheEarlierFolderAlone) {
  const auto batch = prepare("album");
  std::filesystem::create_directories(root.path() / idOf(batch));
  writeFile(root.path() / idOf(batch) / "content-0", "earlier");
  EXPECT_EQ(send(batch), Case::conflict);
  EXPECT_EQ(testing::readFile(root.path() / idOf(batch) / "content-0").size(), 7u);
  EXPECT_TRUE(rows().empty());
}

TEST_F(Outbox, PendingBatchesAreLimitedTo128) {
  // Rows written directly: what counts is the history's pending rows.
  for (int i = 0; i < 127; ++i) {
    store::ConversationHistoryRecord record;
    record.kind = "transfer";
    record.peer = kOtherContact;
    record.id = core::Uuid::random().to_string();
    record.payload = {'{', '}'};
    record.unsettled = true;
    onQueue([&] {
      history->enqueue(record, keys[kOtherContact], 0, std::vector<uint8_t>{'{', '}'});
    });
  }
  EXPECT_EQ(send(prepare("one")), std::nullopt);
  const auto refused = prepare("two");
  EXPECT_EQ(send(refused), Case::access);
  EXPECT_FALSE(staged(idOf(refused)));
}

TEST_F(Outbox, AnOfflinePeerIsDialledEveryPassAndRemindedOnceAMinute) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  const int afterEnqueue = connects;
  pump();
  pump();
  EXPECT_EQ(connects, afterEnqueue + 2);
  EXPECT_EQ(reminded, std::vector<std::string>{idOf(batch)});
  wall += 59;
  pump();
  EXPECT_EQ(reminded.size(), 1u);
  wall += 1;
  pump();
  EXPECT_EQ(reminded.size(), 2u);
  EXPECT_EQ(rowOf(idOf(batch))->state, State::waiting);
  EXPECT_TRUE(offered.empty());
}

TEST_F(Outbox, BatchesToOneContactLeaveInOrder) {
  const auto first = prepare("first");
  const auto second = prepare("second");
  ASSERT_EQ(send(first), std::nullopt);
  ASSERT_EQ(send(second), std::nullopt);
  onlineNow = true;
  pump();
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0]->id(), first->id());
  pump();
  EXPECT_EQ(offered.size(), 1u);  // the first still holds the second back
  EXPECT_TRUE(report(idOf(first), TransferState::committed, 1001));
  settle();
  EXPECT_FALSE(staged(idOf(first)));
  EXPECT_EQ(rowOf(idOf(first))->state, State::delivered);
  EXPECT_FALSE(rowOf(idOf(first))->record.unsettled);
  pump();
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[1]->id(), second->id());
}

TEST_F(Outbox, AnAlteredStagedCopyIsNotOfferedAndStaysChangedAcrossPassesAndRestarts) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  const auto content = root.path() / idOf(batch) / "content-1";
  ASSERT_TRUE(std::filesystem::exists(content));
  std::filesystem::resize_file(content, 10);
  onlineNow = true;
  pump();
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(rowOf(idOf(batch))->state, State::attention);
  EXPECT_EQ(memoryOf(idOf(batch)).error, "transfer.error.changed");
  pump();
  EXPECT_EQ(memoryOf(idOf(batch)).error, "transfer.error.changed");
  // A new start reads the stored cause back.
  queue.sync([&] { outbox.reset(); });
  outbox = makeOutbox();
  onQueue([&] { outbox->restore(); });
  const auto restored = memoryOf(idOf(batch));
  EXPECT_EQ(restored.state, TransferState::unconfirmed);
  EXPECT_EQ(restored.error, "transfer.error.changed");
  EXPECT_EQ(restored.canRetryQueued, true);
  EXPECT_TRUE(staged(idOf(batch)));
}

TEST_F(Outbox, AUserFileChangedAfterStagingStillSendsTheStagedBytes) {
  const auto batch = prepare("album", 5000, 3);
  ASSERT_EQ(send(batch), std::nullopt);
  writeFile(sources / "album/a.bin", patternBytes(5000, 4));
  std::filesystem::remove(sources / "album/b.txt");
  onlineNow = true;
  pump();
  ASSERT_EQ(offered.size(), 1u);
  std::vector<uint8_t> bytes;
  ContentCancellation cancellation;
  for (std::size_t i = 0; i < offered[0]->entries().size(); ++i) {
    if (offered[0]->entries()[i].path != "album/a.bin") continue;
    auto reader = offered[0]->openReader(static_cast<int64_t>(i));
    while (auto chunk = reader->next(cancellation))
      bytes.insert(bytes.end(), chunk->begin(), chunk->end());
  }
  EXPECT_EQ(bytes, patternBytes(5000, 3));
}

TEST_F(Outbox, AFailedOfferGoesToAttentionWithItsCause) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  onlineNow = true;
  offerFails = Case::disconnected;
  pump();
  const auto row = rowOf(idOf(batch)).value();
  EXPECT_EQ(row.state, State::attention);
  EXPECT_EQ(storedOf(idOf(batch)).error, "transfer.error.disconnected");
  EXPECT_EQ(memoryOf(idOf(batch)).canRetryQueued, true);
  EXPECT_TRUE(staged(idOf(batch)));
}

TEST_F(Outbox, EngineReportsSettleTheRow) {
  struct Report {
    TransferState state;
    State row;
    TransferState stored;
    bool folderKept;
  };
  for (const auto& [state, row, stored, folderKept] : {
           Report{TransferState::failed, State::attention, TransferState::unconfirmed, true},
           Report{TransferState::unconfirmed, State::attention, TransferState::unconfirmed, true},
           Report{TransferState::committed, State::delivered, TransferState::committed, false},
           Report{TransferState::rejected, State::cancelled, TransferState::rejected, false},
           Report{TransferState::cancelled, State::cancelled, TransferState::cancelled, false},
       }) {
    SCOPED_TRACE(std::string(rawValue(state)));
    onlineNow = true;
    const auto batch = prepare("album" + std::string(rawValue(state)));
    ASSERT_EQ(send(batch), std::nullopt);
    const std::string id = idOf(batch);
    ASSERT_EQ(rowOf(id)->state, State::sending);
    EXPECT_TRUE(report(id, TransferState::transferring, 10));
    EXPECT_TRUE(report(id, state, 10, "transfer.error.io"));
    settle();
    EXPECT_EQ(rowOf(id)->state, row);
    EXPECT_EQ(storedOf(id).state, stored);
    EXPECT_EQ(memoryOf(id).state, stored);
    EXPECT_EQ(storedOf(id).canRetryQueued, row == State::attention);
    EXPECT_EQ(staged(id), folderKept);
    // Settle the kept ones so the next batch to this contact is due.
    if (row == State::attention) onQueue([&] { outbox->cancel(id); });
    settle();
  }
}

TEST_F(Outbox, ProgressIsWrittenAtMostOnceASecondWhileStateChangesGoAtOnce) {
  onlineNow = true;
  const auto batch = prepare("album", 100000);
  ASSERT_EQ(send(batch), std::nullopt);
  const std::string id = idOf(batch);
  EXPECT_TRUE(report(id, TransferState::transferring, 100));
  EXPECT_EQ(storedOf(id).bytes, 100u);
  clock->advance(0.4);
  EXPECT_TRUE(report(id, TransferState::transferring, 200));
  EXPECT_EQ(storedOf(id).bytes, 100u);
  EXPECT_EQ(memoryOf(id).bytes, 200u);
  clock->advance(0.1);
  EXPECT_TRUE(report(id, TransferState::awaitingCommit, 300));
  EXPECT_EQ(storedOf(id).state, TransferState::awaitingCommit);
  EXPECT_EQ(storedOf(id).bytes, 300u);
  clock->advance(1.0);
  EXPECT_TRUE(report(id, TransferState::awaitingCommit, 400));
  EXPECT_EQ(storedOf(id).bytes, 400u);
}

TEST_F(Outbox, RecordAnswersOnlyForItsOwnBatches) {
  RuntimeTransfer incoming;
  incoming.id = core::Uuid::random().to_string();
  incoming.contactID = kContact;
  incoming.outgoing = false;
  EXPECT_FALSE(onQueue([&] { return outbox->record(incoming); }));
  incoming.outgoing = true;
  EXPECT_FALSE(onQueue([&] { return outbox->record(incoming); }));

  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  onQueue([&] { history->clearConversation(kContact); });
  auto gone = memoryOf(idOf(batch));
  gone.state = TransferState::transferring;
  EXPECT_THROW(onQueue([&] { return outbox->record(gone); }), store::ConversationHistoryFailure);
}

TEST_F(Outbox, RestoreSettlesInterruptedBatchesAndSkipsUnreadableRows) {
  const auto waiting = prepare("waiting");
  const auto interrupted = prepare("interrupted");
  ASSERT_EQ(send(waiting), std::nullopt);
  ASSERT_EQ(send(interrupted, kOtherContact), std::nullopt);
  onlinePeers.insert(kOtherPeer);
  pump();
  ASSERT_EQ(rowOf(idOf(interrupted))->state, State::sending);
  // An unreadable row of a third contact, with its own staging folder.
  const std::string broken = core::Uuid::random().to_string();
  store::ConversationHistoryRecord record{"transfer", "3d4e5f60-7182-4394-a516-c7d8e9f0a1b2",
                                          broken,     {'n', 'o', 't'},
                                          true,       std::nullopt};
  onQueue([&] {
    history->enqueue(record, std::vector<uint8_t>(32, 1), 0, std::vector<uint8_t>{'x'});
    history->execute("UPDATE message_outbox SET state=2,retry_after=0 WHERE state=1");
  });
  std::filesystem::create_directories(root.path() / broken);

  queue.sync([&] { outbox.reset(); });
  offered.clear();
  outbox = makeOutbox();
  std::vector<std::string> diagnostics;
  EXPECT_NO_THROW(onQueue([&] {
    outbox->restore();
    outbox->sweep();
  }));
  settle();
  const auto restored = memoryOf(idOf(interrupted));
  EXPECT_EQ(restored.state, TransferState::unconfirmed);
  EXPECT_EQ(restored.error, "transfer.error.disconnected");
  EXPECT_EQ(rowOf(idOf(interrupted))->state, State::attention);
  EXPECT_EQ(storedOf(idOf(interrupted)).error, "transfer.error.disconnected");
  EXPECT_TRUE(std::filesystem::exists(root.path() / broken));
  EXPECT_FALSE(onQueue([&] { return outbox->transfer(broken).has_value(); }));
  // The other batches still go.
  onlineNow = true;
  pump();
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0]->id(), waiting->id());
}

TEST_F(Outbox, TheSweepRemovesOnlyOrphanedBatchFolders) {
  const auto kept = prepare("kept");
  ASSERT_EQ(send(kept), std::nullopt);
  const std::string orphan = core::Uuid::random().to_string();
  std::filesystem::create_directories(root.path() / orphan);
  writeFile(root.path() / orphan / "content-0", "partial");
  const std::string upper = [] {
    std::string text = core::Uuid::random().to_string();
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }();
  std::filesystem::create_directories(root.path() / upper);
  const std::string linked = core::Uuid::random().to_string();
  std::filesystem::create_directories(folder / "elsewhere");
  writeFile(folder / "elsewhere/content-0", "keep");
  std::filesystem::create_directory_symlink(folder / "elsewhere", root.path() / linked);
  const std::string file = core::Uuid::random().to_string();
  writeFile(root.path() / file, "file");
  writeFile(root.path() / "notes", "other");

  onQueue([&] { outbox->sweep(); });
  settle();
  EXPECT_FALSE(std::filesystem::exists(root.path() / orphan));
  EXPECT_TRUE(staged(idOf(kept)));
  EXPECT_TRUE(std::filesystem::exists(root.path() / upper));
  EXPECT_TRUE(std::filesystem::is_symlink(root.path() / linked));
  EXPECT_TRUE(std::filesystem::exists(folder / "elsewhere/content-0"));
  EXPECT_TRUE(std::filesystem::exists(root.path() / file));
  EXPECT_TRUE(std::filesystem::exists(root.path() / "notes"));
}

TEST_F(Outbox, CancelWhileVerifyingStopsTheOffer) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  onlineNow = true;
  // Hold io so the verification waits behind it.
  std::mutex gate;
  std::unique_lock hold(gate);
  outbox->io().async([&] { std::lock_guard wait(gate); });
  onQueue([&] { outbox->pump(); });
  EXPECT_TRUE(onQueue([&] { return outbox->isVerifying(idOf(batch)); }));
  EXPECT_TRUE(onQueue([&] { return outbox->cancel(idOf(batch)); }));
  hold.unlock();
  settle();
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(rowOf(idOf(batch))->state, State::cancelled);
  EXPECT_EQ(memoryOf(idOf(batch)).state, TransferState::cancelled);
  EXPECT_FALSE(staged(idOf(batch)));
}

TEST_F(Outbox, CancelWhileSendingSettlesTheRowAndALateReportIsDropped) {
  onlineNow = true;
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  ASSERT_EQ(offered.size(), 1u);
  const std::string id = idOf(batch);
  EXPECT_TRUE(onQueue([&] { return outbox->cancel(id); }));
  EXPECT_EQ(rowOf(id)->state, State::cancelled);
  auto late = memoryOf(id);
  late.state = TransferState::failed;
  EXPECT_TRUE(onQueue([&] { return outbox->record(late); }));
  EXPECT_EQ(rowOf(id)->state, State::cancelled);
  EXPECT_EQ(memoryOf(id).state, TransferState::cancelled);
  EXPECT_FALSE(onQueue([&] { return outbox->cancel(id); }));
}

TEST_F(Outbox, RetryPutsAnAttentionBatchBackAndIgnoresAWaitingOne) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  const std::string id = idOf(batch);
  onQueue([&] { outbox->retry(id); });
  EXPECT_EQ(rowOf(id)->state, State::waiting);
  onlineNow = true;
  offerFails = Case::io;
  pump();
  ASSERT_EQ(rowOf(id)->state, State::attention);
  offerFails.reset();
  onQueue([&] { outbox->retry(id); });
  settle();
  EXPECT_EQ(rowOf(id)->state, State::sending);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(memoryOf(id).error, std::nullopt);
  EXPECT_EQ(memoryOf(id).canRetryQueued, false);
}

TEST_F(Outbox, AnEndedAttemptWithoutCauseReadsDisconnectedAndALateReportKeepsTheRetry) {
  onlineNow = true;
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  const std::string id = idOf(batch);
  // The engine ends an attempt whose peer went away without naming a cause.
  EXPECT_TRUE(report(id, TransferState::unconfirmed));
  EXPECT_EQ(rowOf(id)->state, State::attention);
  EXPECT_EQ(storedOf(id).error, "transfer.error.disconnected");
  auto late = memoryOf(id);
  onlineNow = false;
  onQueue([&] { outbox->retry(id); });
  ASSERT_EQ(rowOf(id)->state, State::waiting);
  // A report of the ended attempt, arriving after the retry, changes nothing.
  late.state = TransferState::failed;
  late.error = "transfer.error.incomplete";
  EXPECT_TRUE(onQueue([&] { return outbox->record(late); }));
  EXPECT_EQ(rowOf(id)->state, State::waiting);
  EXPECT_EQ(memoryOf(id).state, TransferState::queued);
  EXPECT_EQ(memoryOf(id).error, std::nullopt);
}

TEST_F(Outbox, AContactWhoseKeyChangedIsNeverOffered) {
  const auto batch = prepare("album");
  ASSERT_EQ(send(batch), std::nullopt);
  keys[kContact] = std::vector<uint8_t>(32, 0x42);
  onlineNow = true;
  pump();
  pump();
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(rowOf(idOf(batch))->state, State::waiting);
}

TEST_F(Outbox, ForgetDropsOneContactsBatchesOnly) {
  const auto mine = prepare("mine");
  const auto theirs = prepare("theirs");
  ASSERT_EQ(send(mine), std::nullopt);
  ASSERT_EQ(send(theirs, kOtherContact), std::nullopt);
  onQueue([&] {
    history->clearConversation(kContact);
    outbox->forget(kContact);
  });
  settle();
  EXPECT_FALSE(staged(idOf(mine)));
  EXPECT_TRUE(staged(idOf(theirs)));
  EXPECT_FALSE(onQueue([&] { return outbox->transfer(idOf(mine)).has_value(); }));
  EXPECT_TRUE(onQueue([&] { return outbox->transfer(idOf(theirs)).has_value(); }));
  const auto order = onQueue([&] { return outbox->order(); });
  EXPECT_EQ(order.size(), 1u);
  EXPECT_TRUE(order.contains("transfer:" + kOtherContact + ":" + idOf(theirs)));
  EXPECT_TRUE(onQueue([&] { return outbox->knows(idOf(mine)); }));
}

TEST_F(Outbox, MemoryKeepsFiftySettledBatchesBesidesThePendingOnes) {
  RuntimeTransfer transfer;
  transfer.contactID = kContact;
  transfer.outgoing = true;
  std::vector<std::string> ids;
  onQueue([&] {
    for (int i = 0; i < 51; ++i) {
      transfer.id = core::Uuid::random().to_string();
      transfer.state = TransferState::committed;
      transfer.createdAt = store::Date{static_cast<double>(i)};
      ids.push_back(transfer.id);
      outbox->remember(transfer, i + 1);
    }
    transfer.id = core::Uuid::random().to_string();
    transfer.state = TransferState::unconfirmed;
    transfer.canRetryQueued = true;
    transfer.createdAt = store::Date{-1};
    outbox->remember(transfer, 100);
  });
  EXPECT_FALSE(onQueue([&] { return outbox->transfer(ids.front()).has_value(); }));
  EXPECT_TRUE(onQueue([&] { return outbox->knows(ids.front()); }));
  EXPECT_TRUE(onQueue([&] { return outbox->transfer(ids.back()).has_value(); }));
  EXPECT_TRUE(onQueue([&] { return outbox->transfer(transfer.id).has_value(); }));
  EXPECT_EQ(onQueue([&] { return outbox->values().size(); }), 51u);
}

TEST_F(Outbox, StagingOnAFullDiskFailsWithDiskSpaceAndRecordsNothing_NeedsRootAndNamespaces) {
  std::string why;
  const bool ran = testing::in_private_mounts(
      [&] {
        if (!testing::mount_here("tmpfs", folder / "data", "size=256k", 0, why)) return;
        // Queues made here see the small file system.
        platform::SerialQueue local("test.full", clock);
        auto full = makeOutboxOn(local);
        const auto batch = prepare("big", 1 << 20);
        local.sync([&] {
          full->enqueue(batch, kPeer, kContact, nullptr,
                        [this](std::optional<Case> result) { completions.add(result); });
        });
        EXPECT_EQ(completions.next(), Case::diskSpace);
        full->io().sync([] {});
        EXPECT_FALSE(staged(idOf(batch)));
        EXPECT_TRUE(rows().empty());
        local.sync([&] { full.reset(); });
      },
      why);
  if (!ran || !why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace velmorine::transfer
