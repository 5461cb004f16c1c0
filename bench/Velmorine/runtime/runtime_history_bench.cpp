// Paging a long conversation: one contact's history of 1,000,000 messages, half of them sent
// (their outbox rows delivered) and half received. From `selectConversation` to the snapshot
// for the newest page and for a page at the oldest end, and from `start` to the first snapshot;
// each beside the same with a history of 10,000 messages and beside a bare `loadRecords` page
// of the same size. The target: the long history within 1.2 times the short one.

#include <benchmark/benchmark.h>

#include <map>

#include "bench/Velmorine/runtime/runtime_bench_support.h"

namespace velmorine::runtime::bench {
namespace {

constexpr int64_t kLong = 1000000;
constexpr int64_t kShort = 10000;

const std::string& contact() {
  static const std::string id = numberedID(0xc0c70000, 1);
  return id;
}

std::vector<uint8_t> contactKey() { return std::vector<uint8_t>(32, 0x51); }

// The seeded folder of a history of `count` messages, made once per run.
SeededFolder& seededFolder(int64_t count) {
  static std::map<int64_t, std::unique_ptr<SeededFolder>> made;
  auto& seeded = made[count];
  if (!seeded) {
    seeded = std::make_unique<SeededFolder>();
    const auto started = Clock::now();
    seedStore(seeded->folder.path(), [](store::StoreDocument& document) {
      document.trust[contact()] =
          store::TrustRecord{*core::Uuid::parse(contact()), contactKey(), false, false};
    });
    seedHistory(
        seeded->folder.path(), count,
        [](int64_t number) {
          return SeedMessage{contact(), number % 2 == 0};
        },
        contactKey());
    seeded->seedSeconds = secondsSince(started);
  }
  return *seeded;
}

// A started runtime on the seeded folder of `count` messages, with the conversation selected.
struct PagingRuntime {
  explicit PagingRuntime(BenchWorld& world, int64_t count)
      : seeded(seededFolder(count)), runtime(world, seeded.folder.path(), seeded.keychain) {
    runtime.start();
    request(false);
  }

  // Seconds from the request of a page to its snapshot.
  double request(bool earlier) {
    const uint64_t before = runtime.snapshotCount();
    const auto started = Clock::now();
    runtime->selectConversation(contact(), earlier);
    if (!runtime.waitFor([](const RuntimeSnapshot&) { return true; }, before)) {
      throw std::runtime_error("no snapshot after a page");
    }
    return secondsSince(started);
  }

  // The page just above the oldest one: its cursor is where the oldest page begins.
  double requestOldest() {
    runtime->queue().sync([&] { runtime->historyCursor[contact()] = kHistoryPageSize + 1; });
    return request(true);
  }

  SeededFolder& seeded;
  BenchRuntime runtime;
};

// Seconds for one bare page of `count`'s history: newest, or the oldest.
double barePage(store::ConversationHistory& history, bool oldest) {
  const auto started = Clock::now();
  const auto page = history.loadRecords(
      contact(), oldest ? std::optional<int64_t>(kHistoryPageSize + 1) : std::nullopt,
      kHistoryPageSize, false);
  benchmark::DoNotOptimize(page);
  return secondsSince(started);
}

struct Figures {
  double longSeconds = 0;
  double shortSeconds = 0;
  double bareLong = 0;
  double bareShort = 0;

  void report(benchmark::State& state) const {
    const double n = static_cast<double>(state.iterations());
    state.counters["1M_ms"] = longSeconds / n * 1e3;
    state.counters["10k_ms"] = shortSeconds / n * 1e3;
    state.counters["1M_to_10k"] = longSeconds / shortSeconds;
    state.counters["bare_1M_ms"] = bareLong / n * 1e3;
    state.counters["bare_10k_ms"] = bareShort / n * 1e3;
    state.counters["1M_to_bare"] = longSeconds / bareLong;
  }
};

void pageBenchmark(benchmark::State& state, bool oldest) {
  BenchWorld world;
  PagingRuntime longRuntime(world, kLong);
  PagingRuntime shortRuntime(world, kShort);
  store::ConversationHistory longHistory(longRuntime.seeded.folder / kHistoryFileName);
  store::ConversationHistory shortHistory(shortRuntime.seeded.folder / kHistoryFileName);
  Figures figures;
  for (auto _ : state) {
    const double seconds = oldest ? longRuntime.requestOldest() : longRuntime.request(false);
    state.SetIterationTime(seconds);
    figures.longSeconds += seconds;
    figures.shortSeconds += oldest ? shortRuntime.requestOldest() : shortRuntime.request(false);
    figures.bareLong += barePage(longHistory, oldest);
    figures.bareShort += barePage(shortHistory, oldest);
  }
  figures.report(state);
  const size_t window = longRuntime.runtime.withLatest(
      [](const RuntimeSnapshot& snapshot) { return snapshot.messages.size(); });
  state.counters["window_messages"] = static_cast<double>(window);
  state.counters["seed_1M_s"] = longRuntime.seeded.seedSeconds;
}

void BM_NewestPage(benchmark::State& state) { pageBenchmark(state, false); }
BENCHMARK(BM_NewestPage)
    ->Iterations(200)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_OldestPage(benchmark::State& state) { pageBenchmark(state, true); }
BENCHMARK(BM_OldestPage)
    ->Iterations(200)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// From `start` on the folder to the first snapshot; each iteration starts a new runtime.
void BM_StartToFirstSnapshot(benchmark::State& state) {
  SeededFolder& longFolder = seededFolder(kLong);
  SeededFolder& shortFolder = seededFolder(kShort);
  Figures figures;
  auto startOnce = [](SeededFolder& seeded) {
    BenchWorld world;
    BenchRuntime runtime(world, seeded.folder.path(), seeded.keychain);
    return runtime.start();
  };
  store::ConversationHistory longHistory(longFolder.folder / kHistoryFileName);
  store::ConversationHistory shortHistory(shortFolder.folder / kHistoryFileName);
  for (auto _ : state) {
    const double seconds = startOnce(longFolder);
    state.SetIterationTime(seconds);
    figures.longSeconds += seconds;
    figures.shortSeconds += startOnce(shortFolder);
    figures.bareLong += barePage(longHistory, false);
    figures.bareShort += barePage(shortHistory, false);
  }
  figures.report(state);
}
BENCHMARK(BM_StartToFirstSnapshot)
    ->Iterations(20)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmorine::runtime::bench

BENCHMARK_MAIN();
