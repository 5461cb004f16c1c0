// Applying a snapshot of 512 peers, 1200 messages and 128 transfers of 4096 items beside the
// least that work takes (hashing the message identifiers into a set), and listing a
// conversation of 1200 messages and 200 transfers beside a stable sort on keys computed
// beforehand. The ratios are printed after the runs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string_view>
#include <unordered_set>

#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/workspace/workspace_model.h"
#include "bench/Velmorine/workspace/idle_workspace.h"

namespace velmorine::workspace {
namespace {

std::unique_ptr<WorkspaceModel> makeModel() { return bench::makeIdleModel(); }

std::string uuidText() { return core::Uuid::random().to_string(); }

runtime::RuntimeMessage messageFor(const std::string& contact, int index) {
  runtime::RuntimeMessage message;
  message.id = uuidText();
  message.frameID = uuidText();
  message.peerID = contact;
  message.contactID = contact;
  message.text = "A message of ordinary length, number " + std::to_string(index);
  message.outgoing = index % 2 == 0;
  message.date = store::Date{700'000'000.0 + index};
  message.delivery = message.outgoing ? runtime::MessageDelivery::acknowledged
                                      : runtime::MessageDelivery::received;
  return message;
}

transfer::RuntimeTransfer transferFor(const std::string& contact, int index, int items) {
  transfer::RuntimeTransfer transfer;
  transfer.id = uuidText();
  transfer.peerID = contact;
  transfer.contactID = contact;
  transfer.name = "Batch " + std::to_string(index);
  transfer.outgoing = index % 3 == 0;
  transfer.state =
      index % 4 == 0 ? transfer::TransferState::pending : transfer::TransferState::committed;
  transfer.createdAt = store::Date{700'000'000.0 + 2 * index + 0.5};
  for (int item = 0; item < items; ++item) {
    transfer::TransferDisplayItem display;
    display.entry.index = item;
    display.entry.path = "folder/sub folder/file number " + std::to_string(item) + ".dat";
    display.entry.size = 4096;
    transfer.items.push_back(std::move(display));
  }
  transfer.itemCount = items;
  return transfer;
}

// 512 peers, 1200 messages spread over them, 128 transfers of 4096 items.
const runtime::RuntimeSnapshot& largeSnapshot() {
  static const runtime::RuntimeSnapshot snapshot = [] {
    runtime::RuntimeSnapshot s;
    for (int index = 0; index < 512; ++index) {
      runtime::RuntimePeer peer;
      peer.id = peer.contactID = peer.wireID = uuidText();
      peer.name = "Peer " + std::to_string(index);
      peer.online = index % 2 == 0;
      s.peers.push_back(std::move(peer));
    }
    for (int index = 0; index < 1200; ++index) {
      s.messages.push_back(messageFor(s.peers[index % 512].id, index));
    }
    for (int index = 0; index < 128; ++index) {
      s.transfers.push_back(transferFor(s.peers[index % 512].id, index, 4096));
    }
    s.preferences.notificationsEnabled = true;
    return s;
  }();
  return snapshot;
}

// Every snapshot after the first repeats what the model has seen, as most of them do. Two
// equal snapshots take turns, so that none is copied or freed while the model applies it.
void BM_ApplySnapshot(benchmark::State& state) {
  const auto first = std::make_shared<const runtime::RuntimeSnapshot>(largeSnapshot());
  const auto second = std::make_shared<const runtime::RuntimeSnapshot>(largeSnapshot());
  const auto model = makeModel();
  model->apply(first);
  bool turn = false;
  for (auto _ : state) {
    model->apply(turn ? first : second);
    turn = !turn;
  }
}

// The least that applying must do: hash each message identifier into a set.
void BM_HashMessageIDs(benchmark::State& state) {
  const auto& snapshot = largeSnapshot();
  for (auto _ : state) {
    std::unordered_set<std::string_view> ids;
    ids.reserve(snapshot.messages.size());
    for (const auto& message : snapshot.messages) ids.insert(message.id);
    benchmark::DoNotOptimize(ids);
  }
}

// The same as the runtime hands it over: moved in, the previous snapshot freed meanwhile.
void BM_ApplyMovedSnapshot(benchmark::State& state) {
  const auto model = makeModel();
  model->apply(runtime::RuntimeSnapshot(largeSnapshot()));
  for (auto _ : state) {
    state.PauseTiming();
    runtime::RuntimeSnapshot next(largeSnapshot());
    state.ResumeTiming();
    model->apply(std::move(next));
  }
}

// One conversation of 1200 messages and 200 transfers, all but a tenth with a history
// position, among the other contacts' messages.
std::shared_ptr<const runtime::RuntimeSnapshot> conversationSnapshot(const std::string& contact) {
  runtime::RuntimeSnapshot s;
  runtime::RuntimePeer peer;
  peer.id = peer.contactID = peer.wireID = contact;
  s.peers.push_back(peer);
  std::mt19937 random(7);
  for (int index = 0; index < 1200; ++index) s.messages.push_back(messageFor(contact, index));
  for (int index = 0; index < 200; ++index) s.transfers.push_back(transferFor(contact, index, 4));
  for (int index = 0; index < 300; ++index) s.messages.push_back(messageFor(uuidText(), index));
  std::shuffle(s.messages.begin(), s.messages.end(), random);
  std::int64_t sequence = 0;
  for (const auto& message : s.messages) {
    if (random() % 10 != 0) s.historyOrder[runtime::messageKey(message)] = ++sequence;
  }
  for (const auto& transfer : s.transfers) {
    if (random() % 10 != 0) s.historyOrder[runtime::transferKey(transfer)] = ++sequence;
  }
  return std::make_shared<const runtime::RuntimeSnapshot>(std::move(s));
}

void BM_ConversationItems(benchmark::State& state) {
  const std::string contact = uuidText();
  const auto model = makeModel();
  model->apply(conversationSnapshot(contact));
  model->setSelectedPeerID(contact);
  for (auto _ : state) {
    auto items = model->conversationItems();
    benchmark::DoNotOptimize(items);
  }
}

// A stable sort of the same items on keys computed beforehand.
void BM_StableSortPrecomputed(benchmark::State& state) {
  const std::string contact = uuidText();
  const auto snapshot = conversationSnapshot(contact);
  std::vector<std::pair<ConversationOrderKey, ConversationItem>> keyed;
  std::string scratch;
  for (const auto& message : snapshot->messages) {
    if (message.contactID != contact) continue;
    const ConversationItem item(message);
    keyed.emplace_back(conversationOrderKey(item, snapshot->historyOrder, contact, scratch), item);
  }
  for (const auto& transfer : snapshot->transfers) {
    const ConversationItem item(transfer);
    keyed.emplace_back(conversationOrderKey(item, snapshot->historyOrder, contact, scratch), item);
  }
  for (auto _ : state) {
    auto work = keyed;
    std::stable_sort(work.begin(), work.end(),
                     [](const auto& a, const auto& b) { return precedes(a.first, b.first); });
    benchmark::DoNotOptimize(work);
  }
}

BENCHMARK(BM_ApplySnapshot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HashMessageIDs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ApplyMovedSnapshot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConversationItems)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StableSortPrecomputed)->Unit(benchmark::kMicrosecond);

// Prints each measured time over its reference's after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_ApplySnapshot", "BM_HashMessageIDs"},
        {"BM_ApplyMovedSnapshot", "BM_HashMessageIDs"},
        {"BM_ConversationItems", "BM_StableSortPrecomputed"}};
    for (const auto& [measured, reference] : pairs) {
      if (times_[reference] > 0) {
        GetOutputStream() << measured << " / " << reference << " = "
                          << times_[measured] / times_[reference] << "\n";
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace velmorine::workspace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmorine::workspace::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
