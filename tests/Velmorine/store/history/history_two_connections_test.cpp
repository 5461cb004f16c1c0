// The data import opens connections of its own on a file the runtime holds; the two meet
// only through SQLite's file locking and the busy timeout.
#include <thread>

#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;

TEST(HistoryTwoConnections, ReaderSeesCommittedRowsOnly) {
  TemporaryFolder folder;
  ConversationHistory runtime(folder.historyFile());
  ConversationHistory import(folder.historyFile());

  runtime.execute("BEGIN IMMEDIATE");
  runtime.saveRecords({message(1, 1)}, {});
  // A write lock that is held but not yet committing leaves readers alone.
  EXPECT_TRUE(import.loadRecords(std::nullopt, std::nullopt, 1, false).records.empty());
  runtime.execute("COMMIT");
  EXPECT_EQ(import.loadRecords(std::nullopt, std::nullopt, 1, false).records.size(), 1u);
}

TEST(HistoryTwoConnections, WriterHeldOffPastTheBusyTimeoutFailsWithBusyAndWritesNothing) {
  TemporaryFolder folder;
  ConversationHistory runtime(folder.historyFile());
  ConversationHistory import(folder.historyFile());

  runtime.execute("BEGIN IMMEDIATE");
  runtime.saveRecords({message(1, 1)}, {});
  EXPECT_TRUE(
      failsWith([&] { import.enqueue(message(2, 2, "q", true), key32(2), 0, std::nullopt); },
                Failure::storage(SQLITE_BUSY)));
  // The opening itself takes the write lock briefly, so it waits and fails the same way.
  EXPECT_TRUE(failsWith([&] { ConversationHistory third(folder.historyFile()); },
                        Failure::storage(SQLITE_BUSY)));
  runtime.execute("COMMIT");

  EXPECT_EQ(runtime.peers(), (std::vector<std::string>{peerText(1)}));
  EXPECT_NO_THROW(import.enqueue(message(2, 2, "q", true), key32(2), 0, std::nullopt));
  EXPECT_EQ(runtime.peers(), (std::vector<std::string>{peerText(1), peerText(2)}));
}

TEST(HistoryTwoConnections, WriterWaitsForACommitWithinTheTimeout) {
  TemporaryFolder folder;
  ConversationHistory runtime(folder.historyFile());
  ConversationHistory import(folder.historyFile());

  runtime.execute("BEGIN IMMEDIATE");
  runtime.saveRecords({message(1, 1)}, {});
  // Whether the import's write starts before or after the commit, it must succeed.
  std::thread writer([&] {
    EXPECT_NO_THROW(import.enqueue(message(2, 2, "q", true), key32(2), 0, std::nullopt));
  });
  runtime.execute("COMMIT");
  writer.join();
  EXPECT_EQ(runtime.peers(), (std::vector<std::string>{peerText(1), peerText(2)}));
}

TEST(HistoryTwoConnections, ConcurrentWritersAllCommit) {
  TemporaryFolder folder;
  ConversationHistory first(folder.historyFile());
  ConversationHistory second(folder.historyFile());
  constexpr int kEach = 15;
  auto write = [](ConversationHistory& history, uint64_t peer) {
    for (int index = 0; index < kEach; ++index) {
      int64_t sequence =
          history.enqueue(message(peer, peer * 1000 + static_cast<uint64_t>(index), "q", true),
                          key32(1), 0, std::nullopt);
      ConversationOutboxEntry entry =
          history.pendingOutboxEntries({.kind = "message", .after = sequence - 1, .limit = 1})
              .at(0);
      history.transitionOutboxEntry(entry, ConversationOutboxState::sending, entry.record, 0);
    }
  };
  std::thread one([&] { EXPECT_NO_THROW(write(first, 1)); });
  std::thread two([&] { EXPECT_NO_THROW(write(second, 2)); });
  one.join();
  two.join();

  std::vector<ConversationOutboxEntry> entries;
  for (int64_t after = 0;;) {
    auto page = first.pendingOutboxEntries({.kind = "message", .after = after, .limit = 30});
    if (page.empty()) break;
    after = page.back().sequence;
    entries.insert(entries.end(), page.begin(), page.end());
  }
  ASSERT_EQ(entries.size(), 2u * kEach);
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.state, ConversationOutboxState::sending);
    EXPECT_EQ(entry.attempts, 1);
  }
}

}  // namespace
}  // namespace velmorine::store
