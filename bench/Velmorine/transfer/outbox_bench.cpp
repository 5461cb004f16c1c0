// The attachment outbox: the whole road of a batch (sendFiles, staging, the pump's verification,
// the offer, the transfer, the receiver's commit) between two runtimes on a veth pair, beside the
// engine alone (an offer at once) and plain TCP with a write and an fsync of each file; staging
// beside cp and fsync of the same files; and a pump pass over 128 pending batches of 4,096
// entries beside one over a single batch, since a pass blocks the runtime queue. Run it as root
// from a folder on the disk to measure.
// - a 1 GiB file and a folder of 4,096 files of 4 KiB: speeds, ratios (target for the 1 GiB
//   file: the road at least 0.25 of plain), the time from sendFiles to the receiver's pending
//   state, and the sender's history row changes per batch with the batch's seconds (the target
//   is one write per state change plus at most one a second);
// - staging beside cp + fsync (target at least 0.6);
// - a pump pass over 128 batches of 4,096 entries, peers offline (target under 100 ms).

#include <benchmark/benchmark.h>

#include "Velmorine/transfer/batch_staging.h"
#include "Velmorine/transfer/durable_attachment_outbox.h"
#include "bench/Velmorine/transfer/transfer_lan.h"

namespace velmorine::transfer {
namespace {

const fs::path& largeFile(Pair& lan) {
  static const fs::path large = [&] {
    const fs::path path = lan.root() / "large.bin";
    const platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const auto block = pattern(kMiB, 7);
    for (std::size_t i = 0; i < kLargeMiB; ++i) writeWhole(fd.get(), block.data(), kMiB);
    ::fsync(fd.get());
    return path;
  }();
  return large;
}

// The road, the engine alone and plain TCP for one source; counters on `state`.
void roadBesideEngineAndPlain(benchmark::State& state, Pair& lan, const fs::path& source,
                              const std::vector<fs::path>& files, double mebibytes) {
  warm(files);
  Pair::Sent road, engine;
  double plain = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto forRoad = prepared(source);  // each batch of the outbox is a new one
    state.ResumeTiming();
    const auto sent = lan.send(forRoad, true);
    road.seconds += sent.seconds;
    road.toPending += sent.toPending;
    road.historyA += sent.historyA;
    clearUntimed(lan.root() / "received");
    engine.seconds += lan.send(prepared(source), false).seconds;
    clearUntimed(lan.root() / "received");
    plain += plainTCP(lan, files, lan.root() / "plain");
    clearUntimed(lan.root() / "plain");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["road_MiB_per_s"] = mebibytes * n / road.seconds;
  state.counters["engine_MiB_per_s"] = mebibytes * n / engine.seconds;
  state.counters["plain_MiB_per_s"] = mebibytes * n / plain;
  state.counters["road_to_plain"] = plain / road.seconds;
  state.counters["road_to_engine"] = engine.seconds / road.seconds;
  state.counters["send_to_pending_ms"] = 1000 * road.toPending / n;
  state.counters["sender_history_rows_per_batch"] = static_cast<double>(road.historyA) / n;
  state.counters["road_seconds_per_batch"] = road.seconds / n;
}

void BM_RoadOfOneGiBFile(benchmark::State& state) {
  Pair& lan = pair("outbox");
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const fs::path& large = largeFile(lan);
  roadBesideEngineAndPlain(state, lan, large, {large}, static_cast<double>(kLargeMiB));
}
BENCHMARK(BM_RoadOfOneGiBFile)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RoadOf4096SmallFiles(benchmark::State& state) {
  Pair& lan = pair("outbox");
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const fs::path folder = lan.root() / "small-4096";
  const auto files = smallFiles(folder, 4095);  // with the folder, 4,096 entries
  roadBesideEngineAndPlain(state, lan, folder, files,
                           static_cast<double>(files.size() * kSmallFile) / kMiB);
}
BENCHMARK(BM_RoadOf4096SmallFiles)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// cp of the source (a file, or a folder's files) into a fresh folder, then an fsync of each copy
// and of the folder.
double copyAndSync(const fs::path& source, const std::vector<fs::path>& files,
                   const fs::path& into) {
  fs::create_directories(into);
  const auto start = Clock::now();
  // A folder's files go as one argument: thousands of names exceed what one command takes.
  const std::string from = fs::is_directory(source) ? source.string() + "/." : source.string();
  if (!sh("cp -r '" + from + "' '" + into.string() + "/'")) throw std::runtime_error("cp failed");
  for (const auto& file : files) {
    const platform::UniqueFd fd(::open((into / file.filename()).c_str(), O_RDONLY | O_CLOEXEC));
    ::fsync(fd.get());
  }
  const platform::UniqueFd folder(::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ::fsync(folder.get());
  return secondsSince(start);
}

void stagingBesideCopy(benchmark::State& state, const fs::path& root, const fs::path& source,
                       const std::vector<fs::path>& files) {
  warm(files);
  const ContentUrl staging = ContentUrl::file(root / "staging", true);
  double staged = 0, copied = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto batch = prepared(source);
    state.ResumeTiming();
    ContentCancellation cancellation;
    const auto start = Clock::now();
    stageBatch(staging, *batch, cancellation);
    staged += secondsSince(start);
    removeStagedBatch(batch->id(), staging);
    copied += copyAndSync(source, files, root / "copied");
    clearUntimed(root / "copied");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["staging_ms"] = 1000 * staged / n;
  state.counters["cp_fsync_ms"] = 1000 * copied / n;
  state.counters["staging_to_cp"] = copied / staged;
}

void BM_StagingOneGiBBesideCp(benchmark::State& state) {
  Pair& lan = pair("outbox");
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const fs::path& large = largeFile(lan);
  stagingBesideCopy(state, lan.root(), large, {large});
}
BENCHMARK(BM_StagingOneGiBBesideCp)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Staging4096SmallFilesBesideCp(benchmark::State& state) {
  Pair& lan = pair("outbox");
  if (!lan.why().empty()) {
    state.SkipWithError(lan.why().c_str());
    return;
  }
  const fs::path folder = lan.root() / "small-4096";
  stagingBesideCopy(state, lan.root(), folder, smallFiles(folder, 4095));
}
BENCHMARK(BM_Staging4096SmallFilesBesideCp)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// An outbox over a history of `batches` waiting batches of 4,096 entries each, rows written
// directly, every peer offline; seconds of one pump pass (the median of a few).
double pumpPass(const fs::path& folder, int batches) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  auto history = std::make_shared<store::ConversationHistory>(folder / "history.sqlite");
  const std::vector<uint8_t> key(32, 5);
  std::vector<TransferDisplayItem> items;
  for (int i = 0; i < 4096; ++i) {
    items.push_back({{i, "Batch/item-" + std::to_string(i), false, 4096, "2026-01-01T00:00:00.000Z",
                      std::string(64, 'a')},
                     std::nullopt});
  }
  const TransferItems shared(std::move(items));
  for (int b = 0; b < batches; ++b) {
    RuntimeTransfer transfer;
    transfer.id = core::Uuid::random().to_string();
    transfer.contactID = core::Uuid::random().to_string();
    transfer.peerID = transfer.contactID;
    transfer.name = "Batch";
    transfer.outgoing = true;
    transfer.itemCount = 4096;
    transfer.items = shared;
    store::ConversationHistoryRecord record{"transfer",  transfer.contactID,
                                            transfer.id, encodeRuntimeTransferPayload(transfer),
                                            true,        std::nullopt};
    history->enqueue(record, key, 0, std::vector<uint8_t>{'{', '}'});
  }
  platform::SerialQueue queue("bench.runtime");
  std::shared_ptr<DurableAttachmentOutbox> outbox;
  std::vector<double> passes;
  queue.sync([&] {
    DurableAttachmentOutbox::Services services;
    services.mainQueue = [](std::function<void()> work) { work(); };
    services.wallClock = [] { return 0.0; };
    outbox = DurableAttachmentOutbox::create(
        queue, ContentUrl::file(folder / "attachment-outbox", true), services);
    outbox->history = [history] { return history; };
    outbox->recipientKey = [key](const std::string&, const std::string&) {
      return std::optional(key);
    };
    outbox->allowed = [](const std::string&, const std::string&) { return true; };
    outbox->online = [](const std::string&, const std::vector<uint8_t>&) { return false; };
    outbox->restore();
    for (int round = 0; round < 7; ++round) {
      const auto start = Clock::now();
      outbox->pump();
      passes.push_back(secondsSince(start));
    }
    outbox.reset();
  });
  std::sort(passes.begin(), passes.end());
  return passes[passes.size() / 2];
}

void BM_PumpPassOver128Batches(benchmark::State& state) {
  const fs::path folder = fs::current_path() / "velmorine-outbox-pump-bench";
  double many = 0, one = 0;
  for (auto _ : state) {
    many += pumpPass(folder, 128);
    one += pumpPass(folder, 1);
  }
  fs::remove_all(folder);
  const double n = static_cast<double>(state.iterations());
  state.counters["pass_ms_128_batches"] = 1000 * many / n;
  state.counters["pass_ms_1_batch"] = 1000 * one / n;
  state.counters["ratio_128_to_1"] = many / one;
}
BENCHMARK(BM_PumpPassOver128Batches)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmorine::transfer
BENCHMARK_MAIN();
