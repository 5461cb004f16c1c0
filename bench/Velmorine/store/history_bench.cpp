// Durable inserts and paging of the conversation history, and whether a page's cost depends
// on how long the history is. The large files are built once per run in a temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "Velmorine/store/history/conversation_history.h"

namespace {

using velmorine::store::ConversationHistory;
using velmorine::store::ConversationHistoryRecord;

constexpr int kPeers = 4;

std::string identifier(uint32_t group, uint64_t number) {
  char text[48];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012llx", group,
                static_cast<unsigned long long>(number));
  return text;
}

ConversationHistoryRecord chatRecord(uint64_t number) {
  return ConversationHistoryRecord{
      .kind = "message",
      .peer = identifier(0x9eee0000, number % kPeers + 1),
      .id = identifier(0x17e40000, number),
      .payload = std::vector<uint8_t>(160, static_cast<uint8_t>('a' + number % 26)),
      .unsettled = false,
      .receiptText = std::nullopt,
  };
}

class BenchFolder {
 public:
  BenchFolder() {
    std::filesystem::path base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string pattern = (base / "history-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~BenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path file(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

BenchFolder& folder() {
  static BenchFolder instance;
  return instance;
}

// A history of `count` chat records, written once in a single transaction.
ConversationHistory& historyOf(int64_t count) {
  static std::map<int64_t, std::unique_ptr<ConversationHistory>> built;
  auto& history = built[count];
  if (!history) {
    history = std::make_unique<ConversationHistory>(
        folder().file("history-" + std::to_string(count) + ".sqlite"));
    history->execute("BEGIN IMMEDIATE");
    std::vector<ConversationHistoryRecord> batch;
    for (int64_t number = 0; number < count; ++number) {
      batch.push_back(chatRecord(static_cast<uint64_t>(number)));
      if (batch.size() == 10000 || number + 1 == count) {
        history->saveRecords(batch, {});
        batch.clear();
      }
    }
    history->execute("COMMIT");
  }
  return *history;
}

// Each record in its own immediate transaction, durable before the next, as the runtime
// saves a message.
void BM_InsertChatRecords(benchmark::State& state) {
  const int64_t count = state.range(0);
  int64_t inserted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::path file = folder().file("insert.sqlite");
    std::filesystem::remove(file);
    auto history = std::make_unique<ConversationHistory>(file);
    state.ResumeTiming();
    for (int64_t number = 0; number < count; ++number) {
      history->execute("BEGIN IMMEDIATE");
      history->saveRecords({chatRecord(static_cast<uint64_t>(number))}, {});
      history->execute("COMMIT");
    }
    inserted += count;
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(inserted), benchmark::Counter::kIsRate);
}
// Every commit waits for the disk, so the rate is taken over wall-clock time.
BENCHMARK(BM_InsertChatRecords)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same records committed 1000 to a transaction: what the disk waits cost per commit.
void BM_InsertChatRecordsBatched(benchmark::State& state) {
  const int64_t count = state.range(0);
  int64_t inserted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::path file = folder().file("insert-batched.sqlite");
    std::filesystem::remove(file);
    auto history = std::make_unique<ConversationHistory>(file);
    state.ResumeTiming();
    std::vector<ConversationHistoryRecord> batch;
    for (int64_t number = 0; number < count; ++number) {
      batch.push_back(chatRecord(static_cast<uint64_t>(number)));
      if (batch.size() == 1000 || number + 1 == count) {
        history->execute("BEGIN IMMEDIATE");
        history->saveRecords(batch, {});
        history->execute("COMMIT");
        batch.clear();
      }
    }
    inserted += count;
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(inserted), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InsertChatRecordsBatched)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Reads one peer's whole history (or all peers') from the newest end in pages of 200.
void BM_PageThroughHistory(benchmark::State& state) {
  ConversationHistory& history = historyOf(100000);
  const bool onePeer = state.range(0) != 0;
  std::optional<std::string> peer;
  if (onePeer) peer = chatRecord(0).peer;
  int64_t read = 0;
  for (auto _ : state) {
    std::optional<int64_t> before;
    for (;;) {
      auto page = history.loadRecords(peer, before, 200, false);
      read += static_cast<int64_t>(page.records.size());
      if (!page.hasMore) break;
      before = page.oldestSequence;
    }
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(read), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PageThroughHistory)
    ->ArgName("onePeer")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One page of 200 of one peer at the newest end of a history of range(0) records.
void BM_NewestPage(benchmark::State& state) {
  ConversationHistory& history = historyOf(state.range(0));
  std::string peer = chatRecord(0).peer;
  for (auto _ : state) {
    benchmark::DoNotOptimize(history.loadRecords(peer, std::nullopt, 200, false));
  }
}
BENCHMARK(BM_NewestPage)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// The page of 200 just above the peer's oldest record.
void BM_OldestPage(benchmark::State& state) {
  ConversationHistory& history = historyOf(state.range(0));
  std::string peer = chatRecord(0).peer;
  // Records of peer 1 are numbers 0, kPeers, 2*kPeers, ...; seq is number + 1.
  int64_t before = 200 * kPeers + 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(history.loadRecords(peer, before, 200, false));
  }
}
BENCHMARK(BM_OldestPage)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// The same at the newest end without a peer, over the whole history.
void BM_NewestPageAllPeers(benchmark::State& state) {
  ConversationHistory& history = historyOf(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(history.loadRecords(std::nullopt, std::nullopt, 200, false));
  }
}
BENCHMARK(BM_NewestPageAllPeers)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// The outbox keeps its delivered rows. With every record of the history once sent and
// delivered and the newest 20 still waiting, this is the runtime's periodic due-row query
// (range(1) = 1: only each peer's oldest pending row). range(2) = 0 drops the index of pending
// rows first, as files written before it had none, to show what it saves.
void BM_DueOutboxRows(benchmark::State& state) {
  ConversationHistory& history = historyOf(state.range(0));
  static std::map<int64_t, bool> prepared;
  if (!prepared[state.range(0)]) {
    history.execute("BEGIN IMMEDIATE");
    history.execute("DELETE FROM message_outbox");
    history.execute(
        "INSERT INTO message_outbox(seq,recipient_key,epoch,state,attempts) SELECT "
        "seq,zeroblob(32),0,4,1 FROM records");
    history.execute(
        "UPDATE message_outbox SET state=0 WHERE seq>(SELECT max(seq)-20 FROM message_outbox)");
    history.execute("COMMIT");
    prepared[state.range(0)] = true;
  }
  const bool indexed = state.range(2) != 0;
  // The same statement the history runs when it opens a file.
  history.execute(
      indexed ? "CREATE INDEX IF NOT EXISTS outbox_pending ON message_outbox(seq) WHERE state<4"
              : "DROP INDEX IF EXISTS outbox_pending");
  const bool oldestOnly = state.range(1) != 0;
  size_t rows = 0;
  for (auto _ : state) {
    auto entries =
        history.pendingOutboxEntries({.kind = "message", .oldestOnly = oldestOnly, .limit = 200});
    rows = entries.size();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_DueOutboxRows)
    ->ArgNames({"records", "oldestOnly", "indexed"})
    ->Args({10000, 0, 1})
    ->Args({10000, 1, 1})
    ->Args({1000000, 0, 1})
    ->Args({1000000, 1, 1})
    ->Args({1000000, 0, 0})
    ->Args({1000000, 1, 0})
    ->Unit(benchmark::kMicrosecond);

// One peer's pending rows (limit 1, as the runtime asks before each send) in the same history:
// the peer holds a quarter of the records, all delivered but its share of the newest 20.
void BM_PeerPendingRows(benchmark::State& state) {
  ConversationHistory& history = historyOf(state.range(0));
  history.execute("BEGIN IMMEDIATE");
  history.execute("DELETE FROM message_outbox");
  history.execute(
      "INSERT INTO message_outbox(seq,recipient_key,epoch,state,attempts) SELECT "
      "seq,zeroblob(32),0,4,1 FROM records");
  history.execute(
      "UPDATE message_outbox SET state=0 WHERE seq>(SELECT max(seq)-20 FROM message_outbox)");
  history.execute("CREATE INDEX IF NOT EXISTS outbox_pending ON message_outbox(seq) WHERE state<4");
  history.execute("COMMIT");
  const std::string peer = chatRecord(0).peer;
  size_t rows = 0;
  for (auto _ : state) {
    auto entries = history.pendingOutboxEntries({.kind = "message", .peer = peer, .limit = 1});
    rows = entries.size();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_PeerPendingRows)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
