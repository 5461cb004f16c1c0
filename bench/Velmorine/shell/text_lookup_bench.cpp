// Looking a text up by key and language beside a plain lookup of the same key in the same
// table; the ratio (lookups per second of ours over the plain one's) is printed after the runs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "Velmorine/shell/text_lookup.h"

namespace velmorine::shell {
namespace {

const LocalizationTables& tables() {
  static const auto tables = LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  return tables;
}

// Every key of the English table, in a fixed order, so that each run looks up the same mix.
const std::vector<std::string>& keys() {
  static const auto keys = [] {
    std::vector<std::string> result;
    if (const auto* english = tables().table("en")) {
      for (const auto& [key, text] : *english) result.push_back(key);
    }
    std::sort(result.begin(), result.end());
    return result;
  }();
  return keys;
}

void BM_LocalizedString(benchmark::State& state) {
  const auto& all = keys();
  const std::vector<std::string> none;
  std::size_t index = 0;
  for (auto _ : state) {
    const auto& text = localizedString(tables(), all[index], "ja", none);
    benchmark::DoNotOptimize(&text);
    if (++index == all.size()) index = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The same key in the same table with std::unordered_map::find.
void BM_UnorderedMapFind(benchmark::State& state) {
  const auto& all = keys();
  const auto& table = *tables().table("ja");
  std::size_t index = 0;
  for (auto _ : state) {
    auto found = table.find(all[index]);
    benchmark::DoNotOptimize(found);
    if (++index == all.size()) index = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK(BM_LocalizedString);
BENCHMARK(BM_UnorderedMapFind);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const auto rate = run.counters.find("items_per_second");
      if (rate != run.counters.end()) rates_[run.run_name.function_name] = rate->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* reference : {"BM_UnorderedMapFind"}) {
      if (rates_[reference] > 0) {
        GetOutputStream() << "BM_LocalizedString / " << reference << " (lookups per second) = "
                          << rates_["BM_LocalizedString"] / rates_[reference] << "\n";
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace
}  // namespace velmorine::shell

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmorine::shell::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
