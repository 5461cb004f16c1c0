// The main window applying a snapshot in which one peer comes online (or goes offline again):
// the model takes the snapshot, the views follow it and the window paints what changed, as the
// user would see it. 512 peers (the runtime's limit, 100 of them sharing a name) beside 8 peers;
// the ratio and the time of the large list against one frame (16 ms) are printed after the runs.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QStyleFactory>
#include <map>
#include <random>

#include "Velmorine/shell/localization_tables.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/workspace_view.h"
#include "bench/Velmorine/workspace/idle_workspace.h"
#include "native/protocol/uuid.h"

namespace velmorine::workspace {
namespace {

constexpr double kFrameMilliseconds = 16.0;

TextLookup tableLookup() {
  static const auto tables = shell::LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  return [](std::string_view key, std::string_view language) -> const std::string& {
    return shell::localizedString(tables, key, language, {});
  };
}

// `count` peers, the first `sharing` of them named alike; peer 3 online when `online`.
runtime::RuntimeSnapshot peersSnapshot(int count, int sharing, bool online) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.status = "network.searching";
  snapshot.enabled = true;
  std::mt19937 random(11);
  for (int index = 0; index < count; ++index) {
    runtime::RuntimePeer peer;
    core::Uuid::Bytes bytes{};
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    peer.id = peer.contactID = peer.wireID = core::Uuid(bytes).to_string();
    peer.name = index < sharing ? "Office" : "Device " + std::to_string(index);
    peer.platform = index % 3 == 0 ? "linux" : "macos";
    peer.online = index % 2 == 0;
    peer.safetyCode = peer.online ? std::optional<std::string>("31415 92653") : std::nullopt;
    snapshot.peers.push_back(std::move(peer));
  }
  snapshot.peers[3].online = online;
  return snapshot;
}

void BM_PeerComesOnline(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const int sharing = static_cast<int>(state.range(1));
  const auto offline =
      std::make_shared<const runtime::RuntimeSnapshot>(peersSnapshot(count, sharing, false));
  const auto online =
      std::make_shared<const runtime::RuntimeSnapshot>(peersSnapshot(count, sharing, true));
  const auto model = bench::makeIdleModel();
  ViewEnvironment environment(*model, tableLookup());
  WorkspaceViewParts parts;
  parts.launchGate = [](WorkspaceModel&) {};
  WorkspaceView view(environment, parts);
  view.resize(1120, 760);
  view.show();
  model->apply(offline);
  // The peer whose row changes is on screen, selected (the inspector column shows it too).
  model->setSelectedPeerID(offline->peers[3].id);
  QCoreApplication::processEvents();
  bool turn = false;
  for (auto _ : state) {
    model->apply(turn ? offline : online);
    // Posted layouts and the paint of what changed.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    turn = !turn;
  }
}

BENCHMARK(BM_PeerComesOnline)
    ->Args({8, 2})
    ->Args({512, 100})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.args] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double small = times_["8/2"];
    const double large = times_["512/100"];
    if (small > 0) {
      GetOutputStream() << "512 peers / 8 peers = " << large / small << " (target at most 2)\n"
                        << "512 peers: " << large << " ms of a " << kFrameMilliseconds
                        << " ms frame\n";
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace velmorine::workspace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  benchmark::Initialize(&argc, argv);
  velmorine::workspace::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
