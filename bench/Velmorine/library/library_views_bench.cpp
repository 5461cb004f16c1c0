// Snapshots that move one transfer's bytes, as the transfer and library views take them:
// - the received-files library (shown) with 10,000 received entries beside 10: its picker must
//   not be rebuilt, so the two cost about the same;
// - the transfers overview with 300 running cards beside 3, one card's progress changing.
// The ratios, and the large overview's time against one frame (16 ms), are printed after the
// runs.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QStyleFactory>
#include <map>

#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_overview.h"
#include "Velmorine/shell/localization_tables.h"
#include "Velmorine/shell/text_lookup.h"
#include "bench/Velmorine/workspace/idle_workspace.h"
#include "native/protocol/uuid.h"

namespace velmorine::library {
namespace {

constexpr double kFrameMilliseconds = 16.0;

workspace::TextLookup tableLookup() {
  static const auto tables = shell::LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  return [](std::string_view key, std::string_view language) -> const std::string& {
    return shell::localizedString(tables, key, language, {});
  };
}

core::Uuid numbered(std::uint32_t n) {
  core::Uuid::Bytes bytes{};
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>(n >> (8 * i));
  bytes[6] = 0x40;
  bytes[8] = 0x80;
  return core::Uuid(bytes);
}

// `transfers` running transfers and `received` entries; transfer 0 has done `bytes`.
std::shared_ptr<const runtime::RuntimeSnapshot> snapshot(int transfers, int received,
                                                         std::uint64_t bytes) {
  runtime::RuntimeSnapshot made;
  runtime::RuntimePeer peer;
  peer.id = peer.contactID = peer.wireID = "peer";
  peer.name = "Office";
  made.peers.push_back(peer);
  for (int i = 0; i < transfers; ++i) {
    transfer::RuntimeTransfer transfer;
    transfer.id = numbered(static_cast<std::uint32_t>(i)).to_string();
    transfer.contactID = "peer";
    transfer.name = "Batch " + std::to_string(i);
    transfer.state = transfer::TransferState::transferring;
    transfer.totalBytes = 10'000'000;
    transfer.bytes = i == 0 ? bytes : 5'000'000;
    transfer.createdAt = store::Date{static_cast<double>(i)};
    transfer::TransferDisplayItem item;
    item.entry.path = "notes " + std::to_string(i) + ".txt";
    item.entry.size = 10'000'000;
    transfer.items.push_back(item);
    made.transfers.push_back(std::move(transfer));
    made.transferStamps.push_back(static_cast<std::uint64_t>(i) + 1);
  }
  for (int i = 0; i < received; ++i) {
    store::ReceiveIndexEntry entry;
    entry.transferID = numbered(static_cast<std::uint32_t>(100000 + i));
    entry.containerBookmark = std::vector<std::uint8_t>(160, static_cast<std::uint8_t>(i));
    entry.committedAt = store::Date{static_cast<double>(i * 60)};
    made.received.push_back(std::move(entry));
  }
  return std::make_shared<const runtime::RuntimeSnapshot>(std::move(made));
}

// The next snapshot as the runtime makes it: a copy of the same records, one transfer's bytes
// moved and stamped anew (the copies share their item lists, as the runtime's copies of one
// record do).
std::shared_ptr<const runtime::RuntimeSnapshot> moved(const runtime::RuntimeSnapshot& before) {
  auto after = before;
  for (std::size_t i = 0; i < after.transfers.size(); ++i) {
    if (after.transfers[i].id != numbered(0).to_string()) continue;
    ++after.transfers[i].bytes;
    after.transferStamps[i] = 1'000'000'000;  // a value the runtime stamped anew
  }
  return std::make_shared<const runtime::RuntimeSnapshot>(std::move(after));
}

template <typename View>
void applyAlternately(benchmark::State& state, int transfers, int received) {
  const auto before = snapshot(transfers, received, 1'000'000);
  const auto after = moved(*before);
  const auto model = workspace::bench::makeIdleModel();
  workspace::ViewEnvironment environment(*model, tableLookup());
  model->apply(before);
  View view(environment);
  view.resize(900, 700);
  view.show();
  QCoreApplication::processEvents();
  bool turn = false;
  for (auto _ : state) {
    model->apply(turn ? before : after);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    turn = !turn;
  }
}

void BM_LibraryReceived(benchmark::State& state) {
  applyAlternately<ReceivedLibraryView>(state, 5, static_cast<int>(state.range(0)));
}

void BM_OverviewCards(benchmark::State& state) {
  applyAlternately<TransferOverview>(state, static_cast<int>(state.range(0)), 0);
}

// The model alone taking the same snapshots, for what the views add to it.
void BM_ModelOnly(benchmark::State& state) {
  const int transfers = static_cast<int>(state.range(0));
  const auto before = snapshot(transfers, 0, 1'000'000);
  const auto after = moved(*before);
  const auto model = workspace::bench::makeIdleModel();
  bool turn = false;
  for (auto _ : state) {
    model->apply(turn ? before : after);
    turn = !turn;
  }
}

BENCHMARK(BM_ModelOnly)->Arg(3)->Arg(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LibraryReceived)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_OverviewCards)->Arg(3)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      times_[run.run_name.function_name + "/" + run.run_name.args] =
          run.GetAdjustedRealTime() * (run.time_unit == benchmark::kMillisecond ? 1000.0 : 1.0);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto& out = GetOutputStream();
    if (const double small = times_["BM_LibraryReceived/10"]; small > 0) {
      out << "library: 10,000 received / 10 received = "
          << times_["BM_LibraryReceived/10000"] / small << " (target at most 1.5)\n";
    }
    if (const double small = times_["BM_OverviewCards/3"]; small > 0) {
      const double large = times_["BM_OverviewCards/300"];
      out << "overview: 300 cards / 3 cards = " << large / small << " (target at most 2)\n"
          << "overview: 300 cards: " << large / 1000.0 << " ms of a " << kFrameMilliseconds
          << " ms frame\n";
      out << "overview: of which the model's own apply: " << times_["BM_ModelOnly/3"] << " us (3), "
          << times_["BM_ModelOnly/300"] << " us (300)\n";
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace velmorine::library

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  benchmark::Initialize(&argc, argv);
  velmorine::library::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
