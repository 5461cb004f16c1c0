// Transfers between two runtimes, each in a network namespace of its own joined by a veth pair,
// beside what the same bytes cost without the system: plain TCP between the two namespaces with a
// write and an fsync of each file, and sha256sum of the sources. Run it as root (it makes the
// namespaces) from a folder on the disk to measure (the sources and the received folders are
// written there):
// - a 1 GiB file: speeds and their ratio (ours over plain), the time from the offer to the
//   first chunk written, snapshots per second and history row changes per GiB on each side;
// - folders of 256 and 4,096 files of 4 KiB: speeds, ratio, and the time per file of 4,096
//   against that of 256;
// - building a snapshot while the engine holds a transfer of 4,096 items against one of 16.

#include <benchmark/benchmark.h>

#include "bench/Velmorine/transfer/transfer_lan.h"

namespace velmorine::transfer {
namespace {

void BM_OneGiBFileBesidePlainTCP(benchmark::State& state) {
  Pair& lan = pair();
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const fs::path large = lan.root() / "large.bin";
  if (!fs::exists(large)) {
    const platform::UniqueFd fd(
        ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const auto block = pattern(kMiB, 7);
    for (std::size_t i = 0; i < kLargeMiB; ++i) writeWhole(fd.get(), block.data(), kMiB);
    ::fsync(fd.get());
  }
  const auto batch = prepared(large);
  warm({large});
  Pair::Sent total;
  double plain = 0, digest = 0;
  for (auto _ : state) {
    const auto sent = lan.send(batch);
    total.seconds += sent.seconds;
    total.toFirstChunk += sent.toFirstChunk;
    total.snapshotsA += sent.snapshotsA;
    total.snapshotsB += sent.snapshotsB;
    total.historyA += sent.historyA;
    total.historyB += sent.historyB;
    clearUntimed(lan.root() / "received");
    plain += plainTCP(lan, {large}, lan.root() / "plain");
    clearUntimed(lan.root() / "plain");
    digest += sha256sum({large});
  }
  const double n = static_cast<double>(state.iterations());
  const double gib = static_cast<double>(kLargeMiB) / 1024.0;
  state.counters["ours_MiB_per_s"] = kLargeMiB * n / total.seconds;
  state.counters["plain_MiB_per_s"] = kLargeMiB * n / plain;
  state.counters["sha256sum_MiB_per_s"] = kLargeMiB * n / digest;
  state.counters["speed_ratio"] = plain / total.seconds;
  state.counters["offer_to_first_chunk_ms"] = 1000 * total.toFirstChunk / n;
  state.counters["sender_snapshots_per_s"] = static_cast<double>(total.snapshotsA) / total.seconds;
  state.counters["receiver_snapshots_per_s"] =
      static_cast<double>(total.snapshotsB) / total.seconds;
  state.counters["sender_history_rows_per_GiB"] = static_cast<double>(total.historyA) / (gib * n);
  state.counters["receiver_history_rows_per_GiB"] = static_cast<double>(total.historyB) / (gib * n);
}
BENCHMARK(BM_OneGiBFileBesidePlainTCP)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Seconds per file of our transfer of 256 files, for the 4,096 run to compare with.
double perFileOf256 = 0;

void BM_SmallFilesBesidePlainTCP(benchmark::State& state) {
  Pair& lan = pair();
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const auto count = static_cast<std::size_t>(state.range(0));
  const fs::path folder = lan.root() / ("small-" + std::to_string(count));
  // With the folder, `count` entries.
  const auto files = smallFiles(folder, count - 1);
  const auto batch = prepared(folder);
  warm(files);
  double ours = 0, plain = 0, digest = 0;
  for (auto _ : state) {
    ours += lan.send(batch).seconds;
    clearUntimed(lan.root() / "received");
    plain += plainTCP(lan, files, lan.root() / "plain");
    clearUntimed(lan.root() / "plain");
    digest += sha256sum(files);
  }
  const double n = static_cast<double>(state.iterations());
  const double bytes = static_cast<double>(files.size() * kSmallFile) / kMiB;
  state.counters["ours_MiB_per_s"] = bytes * n / ours;
  state.counters["plain_MiB_per_s"] = bytes * n / plain;
  state.counters["sha256sum_MiB_per_s"] = bytes * n / digest;
  state.counters["speed_ratio"] = plain / ours;
  const double perFile = ours / n / static_cast<double>(files.size());
  state.counters["ours_ms_per_file"] = 1000 * perFile;
  state.counters["plain_ms_per_file"] = 1000 * plain / n / static_cast<double>(files.size());
  if (count == 256) perFileOf256 = perFile;
  if (count == 4096 && perFileOf256 > 0) state.counters["per_file_vs_256"] = perFile / perFileOf256;
}
BENCHMARK(BM_SmallFilesBesidePlainTCP)
    ->Arg(256)
    ->Arg(4096)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Seconds one snapshot takes to build while the engine holds a transfer of `items` items.
double snapshotBuild(runtime::VelRuntime& runtime, std::size_t items) {
  double seconds = 0;
  runtime.queue().sync([&] {
    RuntimeTransfer transfer;
    transfer.id = core::Uuid::random().to_string();
    transfer.peerID = "00000000-0000-4000-8000-0000000000ff";
    transfer.contactID = transfer.peerID;
    transfer.name = "Items";
    transfer.outgoing = true;
    transfer.state = TransferState::committed;
    std::vector<TransferDisplayItem> list;
    for (std::size_t i = 0; i < items; ++i) {
      list.push_back({{static_cast<int64_t>(i), "Items/item-" + std::to_string(i), false, 4096,
                       "2026-01-01T00:00:00.000Z", std::string(64, 'a')},
                      std::nullopt});
    }
    transfer.items = std::move(list);
    auto work = std::make_shared<TransferWork>(transfer, "", std::vector<uint8_t>{}, 0);
    work->wireID = transfer.id;
    auto& engine = runtime.transfers();
    engine.insertWork(work);
    runtime.buildSnapshot();  // the first one saves the transfer
    constexpr int kRounds = 200;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) benchmark::DoNotOptimize(runtime.buildSnapshot());
    seconds = secondsSince(start) / kRounds;
    engine.eraseWork(transfer.id);
  });
  return seconds;
}

void BM_SnapshotWithTransferOf4096ItemsBeside16(benchmark::State& state) {
  Pair& lan = pair();
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  double few = 0, many = 0;
  for (auto _ : state) {
    few += snapshotBuild(lan.a().runtime(), 16);
    many += snapshotBuild(lan.a().runtime(), 4096);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["us_with_16_items"] = 1e6 * few / n;
  state.counters["us_with_4096_items"] = 1e6 * many / n;
  state.counters["ratio_4096_to_16"] = many / few;
}
BENCHMARK(BM_SnapshotWithTransferOf4096ItemsBeside16)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmorine::transfer
BENCHMARK_MAIN();
