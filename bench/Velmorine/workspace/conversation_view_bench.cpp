// The conversation pane at the size of the runtime's window (1,000 history messages, 128 pending
// ones and 250 transfers, with the transfer views' cards) beside a small conversation:
// - a snapshot in which one transfer's byte count moves, applied and painted;
// - one viewport-high scroll step of the item column, rendered offscreen, with 100,000 synthetic
//   items beside 100;
// - opening the pane.
// The realised widgets are counted beside the rows on screen; the ratios are printed at the end.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QStyleFactory>
#include <map>

#include "Velmorine/library/library_panes.h"
#include "Velmorine/shell/localization_tables.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/conversation_view.h"
#include "Velmorine/workspace/item_column.h"
#include "bench/Velmorine/workspace/idle_workspace.h"

namespace velmorine::workspace {
namespace {

constexpr double kFrameMilliseconds = 16.0;

TextLookup tableLookup() {
  static const auto tables = shell::LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  return [](std::string_view key, std::string_view language) -> const std::string& {
    return shell::localizedString(tables, key, language, {});
  };
}

runtime::RuntimePeer benchPeer() {
  runtime::RuntimePeer peer;
  peer.id = peer.contactID = "0b7e3c1a-0000-4000-8000-000000000001";
  peer.wireID = "0b7e3c1a-0000-4000-8000-0000000000ff";
  peer.name = "Office";
  peer.online = true;
  return peer;
}

// `messages` history messages, `pending` queued ones after them, and `transfers` transfers spread
// over the same time; the last transfer holds `bytes`.
runtime::RuntimeSnapshot conversation(int messages, int pending, int transfers,
                                      std::uint64_t bytes) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.enabled = true;
  snapshot.peers = {benchPeer()};
  const auto& peer = snapshot.peers.front();
  const int total = messages + pending;
  for (int i = 0; i < total; ++i) {
    runtime::RuntimeMessage message;
    message.id = "message-" + std::to_string(i);
    message.peerID = peer.wireID;
    message.contactID = peer.id;
    message.outgoing = i % 3 != 0 || i >= messages;
    message.text = i % 5 == 0 ? "A longer message that goes on for a while so that it wraps onto "
                                "a second line and perhaps a third one in a narrow window."
                              : "Message number " + std::to_string(i);
    message.date = store::Date{1000.0 + i * 60};
    message.delivery = i >= messages ? runtime::MessageDelivery::queued
                                     : (message.outgoing ? runtime::MessageDelivery::acknowledged
                                                         : runtime::MessageDelivery::received);
    if (i >= messages) snapshot.queuedMessageIDs.insert(message.id);
    snapshot.messages.push_back(std::move(message));
  }
  for (int i = 0; i < transfers; ++i) {
    transfer::RuntimeTransfer transfer;
    transfer.id = "transfer-" + std::to_string(i);
    transfer.peerID = peer.wireID;
    transfer.contactID = peer.id;
    transfer.name = "holiday-" + std::to_string(i) + ".jpg";
    transfer.outgoing = i % 2 == 0;
    transfer.totalBytes = 1 << 20;
    transfer.bytes = i + 1 == transfers ? bytes : transfer.totalBytes;
    transfer.state = i + 1 == transfers ? transfer::TransferState::transferring
                                        : transfer::TransferState::committed;
    transfer.itemCount = 1;
    transfer.createdAt = store::Date{1000.0 + (total * 60.0 * (i + 1)) / transfers};
    snapshot.transfers.push_back(std::move(transfer));
  }
  return snapshot;
}

struct Pane {
  explicit Pane(const runtime::RuntimeSnapshot& snapshot)
      : model(bench::makeIdleModel()), environment(*model, tableLookup()) {
    model->apply(snapshot);
    model->setSelectedPeerID(benchPeer().id);
    const auto panes = library::withLibraryPanes(placeholderPanes());
    view.reset(
        static_cast<ConversationView*>(panes.makeConversation(environment, benchPeer(), nullptr)));
    view->resize(760, 700);
    view->show();
    QCoreApplication::processEvents();
  }
  std::unique_ptr<WorkspaceModel> model;
  ViewEnvironment environment;
  std::unique_ptr<ConversationView> view;
};

void count(benchmark::State& state, const ItemColumn& column) {
  state.counters["realised"] = static_cast<double>(column.realisedCount());
  state.counters["onScreen"] = static_cast<double>(column.visibleCount());
}

void BM_TransferBytes(benchmark::State& state) {
  const bool large = state.range(0) != 0;
  const int messages = large ? 1000 : 8;
  const int pending = large ? 128 : 0;
  const int transfers = large ? 250 : 2;
  const auto before = std::make_shared<const runtime::RuntimeSnapshot>(
      conversation(messages, pending, transfers, 1000));
  const auto after = std::make_shared<const runtime::RuntimeSnapshot>(
      conversation(messages, pending, transfers, 2000));
  Pane pane(*before);
  bool turn = false;
  for (auto _ : state) {
    pane.model->apply(turn ? before : after);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    turn = !turn;
  }
  count(state, *pane.view->list());
}

BENCHMARK(BM_TransferBytes)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Rows of three heights with a line of text, as a list of many short messages would be.
class SyntheticRows : public ItemColumn::Delegate {
 public:
  QWidget* create(int, QWidget* parent) override { return new QLabel(parent); }
  void show(QWidget* widget, std::size_t index, int) override {
    static_cast<QLabel*>(widget)->setText(QStringLiteral("Item %1").arg(index));
  }
  int measure(std::size_t index, int) override { return 40 + static_cast<int>(index % 3) * 20; }
};

void BM_ScrollStep(benchmark::State& state) {
  const auto items = static_cast<std::size_t>(state.range(0));
  SyntheticRows rows;
  ItemColumn column(rows);
  column.setSpacing(16);
  column.resize(700, 600);
  column.show();
  std::vector<ItemColumn::Item> list;
  list.reserve(items);
  for (std::size_t i = 0; i < items; ++i) list.push_back({"item:" + std::to_string(i), 0, true});
  column.setItems(std::move(list));
  // The middle of the list, stepping down and up again by a viewport each time.
  QScrollBar* bar = column.verticalScrollBar();
  bar->setValue(bar->maximum() / 2);
  QCoreApplication::processEvents();
  QImage image(column.size(), QImage::Format_RGB32);
  bool down = true;
  for (auto _ : state) {
    bar->triggerAction(down ? QAbstractSlider::SliderPageStepAdd
                            : QAbstractSlider::SliderPageStepSub);
    column.render(&image);
    down = !down;
  }
  count(state, column);
}

BENCHMARK(BM_ScrollStep)->ArgName("items")->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_OpenConversation(benchmark::State& state) {
  const bool large = state.range(0) != 0;
  const auto snapshot = large ? conversation(1000, 128, 250, 1000) : conversation(8, 0, 2, 1000);
  auto model = bench::makeIdleModel();
  ViewEnvironment environment(*model, tableLookup());
  model->apply(snapshot);
  model->setSelectedPeerID(benchPeer().id);
  const auto panes = library::withLibraryPanes(placeholderPanes());
  for (auto _ : state) {
    std::unique_ptr<QWidget> view(panes.makeConversation(environment, benchPeer(), nullptr));
    view->resize(760, 700);
    view->show();
    QCoreApplication::processEvents();
  }
}

BENCHMARK(BM_OpenConversation)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.str()] = run.GetAdjustedRealTime();
      if (const auto realised = run.counters.find("realised"); realised != run.counters.end()) {
        counts_[run.run_name.str()] = {realised->second.value, run.counters.at("onScreen").value};
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto& out = GetOutputStream();
    const auto ratio = [&](const std::string& large, const std::string& small) {
      const double a = times_[large];
      const double b = times_[small];
      return b > 0 ? a / b : 0.0;
    };
    out << "one transfer's bytes, window maximum / 10 items = "
        << ratio("BM_TransferBytes/large:1/real_time", "BM_TransferBytes/large:0/real_time")
        << " (target at most 2)\n"
        << "window maximum: " << times_["BM_TransferBytes/large:1/real_time"] << " ms of a "
        << kFrameMilliseconds << " ms frame\n"
        << "scroll step, 100,000 items / 100 = "
        << ratio("BM_ScrollStep/items:100000", "BM_ScrollStep/items:100")
        << " (target at most 1.5)\n"
        << "opening, window maximum / 10 items = "
        << ratio("BM_OpenConversation/large:1/real_time", "BM_OpenConversation/large:0/real_time")
        << " (" << times_["BM_OpenConversation/large:1/real_time"] << " ms)\n";
    for (const auto& [name, figures] : counts_) {
      out << name << ": " << figures.first << " realised widgets for " << figures.second
          << " rows on screen\n";
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, std::pair<double, double>> counts_;
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
