// The import on the disk of the folder the benchmark runs in (run it from the build folder, not
// from a tmpfs, where syncs cost nothing):
// - staging a data folder of 1 GiB (a history and 4,096 received files of 256 KiB) beside
//   `cp -a` of the same tree followed by `sync -f`, both warm in the page cache: the speed ratio
//   is ours over theirs, so 1 or above is as fast;
// - finishing that import beside finishing one of 1 MiB with the same 4,096 entries: finishing
//   renames and never copies, so the time ratio stays near 1.
// Each iteration runs both sides; the clean-up between them is synced and not timed.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/keychain/keychain.h"

extern char** environ;

namespace velmorine::shell {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
constexpr int kContainers = 16;
constexpr int kFilesPerContainer = 256;  // 4,096 received files
constexpr std::size_t kLargeFile = 256 * 1024;
constexpr std::size_t kSmallFile = 256;
constexpr int kHistoryRecords = 2000;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool run(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Removes a tree and flushes the removal, so that it does not weigh on the next timed side.
void removeSynced(const fs::path& path) {
  fs::remove_all(path);
  run({"sync", "-f", path.parent_path().string()});
}

// A data home with the device's identity in its keychain and two sources of it: 1 GiB and
// 1 MiB of received files in the same 4,096 entries.
class ImportData {
 public:
  ImportData()
      : root_(fs::absolute("legacy-import-bench-data")),
        keychain_("org.velmorine.Velmorine.macos.identity", std::nullopt,
                  platform::Keychain(home() / "velmorine-keychain")) {
    fs::remove_all(root_);
    fs::create_directories(home());
    makeSource(large(), kLargeFile);
    makeSource(small(), kSmallFile);
    run({"sync", "-f", root_.string()});
  }
  ~ImportData() { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }
  fs::path data() const { return home() / "Velmorine"; }
  fs::path large() const { return root_ / "large" / "Velmorine"; }
  fs::path small() const { return root_ / "small" / "Velmorine"; }
  store::IdentityKeychain& keychain() { return keychain_; }

 private:
  void makeSource(const fs::path& folder, std::size_t fileSize) {
    store::LocalStore local(folder);
    local.loadOrCreateIdentity(keychain_);
    {
      store::ConversationHistory history(folder / std::string(kHistoryFileName));
      std::vector<store::ConversationHistoryRecord> records;
      const std::string peer = core::Uuid::random().to_string();
      for (int index = 0; index < kHistoryRecords; ++index) {
        store::ConversationHistoryRecord record;
        record.kind = "message";
        record.peer = peer;
        record.id = core::Uuid::random().to_string();
        record.payload.assign(200, 'm');
        records.push_back(std::move(record));
      }
      history.execute("BEGIN IMMEDIATE");
      history.saveRecords(records, {});
      history.execute("COMMIT");
    }
    const std::string content(fileSize, 'r');
    std::vector<store::ReceiveIndexEntry> received;
    for (int container = 0; container < kContainers; ++container) {
      const auto id = core::Uuid::random();
      const auto path = folder / "Received" / ("Velmorine-" + id.to_string());
      fs::create_directories(path);
      for (int file = 0; file < kFilesPerContainer; ++file) {
        std::ofstream(path / ("file-" + std::to_string(file) + ".bin"), std::ios::binary)
            .write(content.data(), static_cast<long>(content.size()));
      }
      received.push_back({id, platform::create_bookmark(path, false), store::Date{800000000}});
    }
    local.update([&](store::StoreDocument& document) { document.received = received; });
  }

  fs::path root_;
  store::SystemIdentityKeychain keychain_;
};

ImportData& data() {
  static ImportData instance;
  return instance;
}

std::uintmax_t treeBytes(const fs::path& root) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  return bytes;
}

void BM_StagingBesideCopyAndSync(benchmark::State& state) {
  auto& set = data();
  const auto pending = set.home() / std::string(kPendingImportName);
  const auto copy = set.home() / "copy";
  const double bytes = static_cast<double>(treeBytes(set.large()));
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    stageLegacyImport(set.large(), set.data(), set.keychain());
    ours += secondsSince(start);
    removeSynced(pending);

    start = Clock::now();
    run({"cp", "-a", set.large().string(), copy.string()});
    run({"sync", "-f", copy.string()});
    theirs += secondsSince(start);
    removeSynced(copy);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["staging_MiB_per_s"] = bytes * iterations / ours / kMiB;
  state.counters["cp_sync_MiB_per_s"] = bytes * iterations / theirs / kMiB;
  state.counters["speed_ratio"] = theirs / ours;
}
BENCHMARK(BM_StagingBesideCopyAndSync)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Finishes a fresh staging of `source` into a home without data; only the finishing is timed.
double finish(const fs::path& source) {
  auto& set = data();
  stageLegacyImport(source, set.data(), set.keychain());
  // The disk settles after the staging's writes before the finishing's few fsyncs are timed.
  run({"sync", "-f", set.home().string()});
  const auto start = Clock::now();
  finishPendingLegacyImport(set.data(), set.keychain());
  const double seconds = secondsSince(start);
  removeSynced(set.data());
  for (const auto& entry : fs::directory_iterator(set.home())) {
    if (entry.path().filename().string().starts_with(kPreviousDataPrefix)) {
      fs::remove_all(entry.path());
    }
  }
  return seconds;
}

void BM_FinishingLargeBesideSmall(benchmark::State& state) {
  double large = 0;
  double small = 0;
  for (auto _ : state) {
    large += finish(data().large());
    small += finish(data().small());
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["finish_1GiB_ms"] = large / iterations * 1000;
  state.counters["finish_1MiB_ms"] = small / iterations * 1000;
  state.counters["time_ratio"] = large / small;
}
BENCHMARK(BM_FinishingLargeBesideSmall)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmorine::shell

BENCHMARK_MAIN();
