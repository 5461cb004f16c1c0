// A writer killed at an arbitrary point must leave a file that opens and holds every write
// that it reported as committed. The child reports after each COMMIT through a pipe and
// stops at a seeded file change (a write, truncation, sync or deletion of the database or
// its journal), where the parent kills it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "tests/Velmorine/store/history/crash_point_vfs.h"
#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;

// The writes of one run, numbered; step % 4 says what step did.
enum Write { kEnqueue = 0, kSaveBatch = 1, kMarkSending = 2, kReceipt = 3 };

uint64_t itemOf(uint64_t run, uint64_t step) { return run * 1000000 + step; }

void writeForever(const std::filesystem::path& file, uint64_t run, int report) {
  ConversationHistory history(file);
  for (uint64_t step = 0; step < 1000000; ++step) {
    uint64_t item = itemOf(run, step);
    uint64_t peer = 1 + step % 5;
    switch (step % 4) {
      case kEnqueue:
        history.enqueue(message(peer, item, "queued " + std::to_string(item), true), key32(1), 0,
                        std::nullopt);
        break;
      case kSaveBatch:
        history.execute("BEGIN IMMEDIATE");
        history.saveRecords({transfer(peer, item, "batch " + std::to_string(item)),
                             message(peer, item, "saved " + std::to_string(item))},
                            {{peerText(peer), 0}});
        history.execute("COMMIT");
        break;
      case kMarkSending: {
        // The message queued two writes earlier.
        ConversationOutboxEntry entry =
            history.pendingOutboxEntries({.kind = "message", .id = itemText(item - 2)}).at(0);
        history.transitionOutboxEntry(entry, ConversationOutboxState::sending, entry.record, 1.0);
        break;
      }
      case kReceipt:
        history.storeReceipt(message(peer, item, "received"), "receipt " + std::to_string(item), 0,
                             key32(2));
        break;
    }
    if (::write(report, &step, sizeof step) != sizeof step) return;
  }
}

void expectCommitted(RawDatabase& raw, uint64_t run, uint64_t step) {
  std::string id = itemText(itemOf(run, step));
  std::string item = std::to_string(itemOf(run, step));
  auto count = [&](const std::string& sql) { return raw.value(sql); };
  switch (step % 4) {
    case kEnqueue:
      EXPECT_EQ(count("SELECT count(*) FROM records r JOIN message_outbox o ON o.seq=r.seq "
                      "WHERE r.kind='message' AND r.id='" +
                      id + "'"),
                "1")
          << "enqueue " << step;
      break;
    case kSaveBatch:
      EXPECT_EQ(count("SELECT payload FROM records WHERE kind='transfer' AND id='" + id + "'"),
                "batch " + item)
          << "batch " << step;
      EXPECT_EQ(count("SELECT payload FROM records WHERE kind='message' AND id='" + id + "'"),
                "saved " + item)
          << "batch " << step;
      break;
    case kMarkSending:
      EXPECT_EQ(count("SELECT o.state||'/'||o.attempts FROM records r JOIN message_outbox o ON "
                      "o.seq=r.seq WHERE r.id='" +
                      itemText(itemOf(run, step - 2)) + "'"),
                "1/1")
          << "sending " << step;
      break;
    case kReceipt:
      EXPECT_EQ(count("SELECT count(*) FROM message_receipts m JOIN records r ON r.seq=m.seq "
                      "WHERE m.id='" +
                      id + "' AND CAST(r.receipt AS TEXT)='receipt " + item + "'"),
                "1")
          << "receipt " << step;
      break;
  }
}

TEST(HistoryCrash, KilledWriterLosesNoCommittedWrite) {
  TemporaryFolder folder;
  std::mt19937 random(0x5eed2026);
  // A write takes from about 6 to 20 file changes; opening takes a few more.
  std::uniform_int_distribution<uint64_t> crashPoint(1, 400);
  std::vector<std::pair<uint64_t, uint64_t>> committed;  // (run, step)

  for (uint64_t run = 0; run < 20; ++run) {
    SCOPED_TRACE(::testing::Message() << "run " << run);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    uint64_t stopAt = crashPoint(random);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe[0]);
      installCrashPoint(stopAt, pipe[1]);
      try {
        writeForever(folder.historyFile(), run, pipe[1]);
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    ::close(pipe[1]);
    uint64_t step = 0;
    bool stopped = false;
    while (::read(pipe[0], &step, sizeof step) == sizeof step) {
      if (step == kCrashPointReached) {
        stopped = true;
        break;
      }
      committed.emplace_back(run, step);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(pipe[0]);
    ASSERT_TRUE(stopped) << "writer ended before its crash point " << stopAt;

    ASSERT_NO_THROW(ConversationHistory reopened(folder.historyFile()));
    RawDatabase raw(folder.historyFile());
    EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");
    for (const auto& [doneRun, doneStep] : committed) expectCommitted(raw, doneRun, doneStep);
    // Nothing half-written: every outbox row has its record and every queued message its row.
    EXPECT_EQ(raw.value("SELECT count(*) FROM message_outbox o LEFT JOIN records r ON r.seq=o.seq "
                        "WHERE r.seq IS NULL"),
              "0");
    EXPECT_EQ(raw.value("SELECT count(*) FROM records r LEFT JOIN message_outbox o ON o.seq=r.seq "
                        "WHERE r.kind='message' AND r.unsettled=1 AND o.seq IS NULL"),
              "0");
  }
}

}  // namespace
}  // namespace velmorine::store
