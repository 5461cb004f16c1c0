// Time of one durable store update on a document holding 4,096 trust records: copy, checks,
// encoding, the write of the temporary file, two fsyncs and the rename. The encoding alone is
// measured beside it, so the share of the disk is visible.
//
// The store folder is made under $VELMORINE_BENCH_DIR when set (to measure a given disk), else
// under the system's temporary folder.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "Velmorine/store/local_store.h"

namespace velmorine::store {
namespace {

StoreDocument document_with_trust(std::size_t records) {
  StoreDocument document;
  for (std::size_t i = 0; i < records; ++i) {
    const auto contact = core::Uuid::random();
    document.trust[contact.to_string()] =
        TrustRecord{contact, Bytes(32, static_cast<std::uint8_t>(i)), i % 2 == 0, false};
  }
  return document;
}

std::filesystem::path bench_folder() {
  const char* root = std::getenv("VELMORINE_BENCH_DIR");
  std::string pattern =
      ((root != nullptr ? std::filesystem::path(root) : std::filesystem::temp_directory_path()) /
       "velmorine-bench-XXXXXX")
          .string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void BM_DurableUpdate4096TrustRecords(benchmark::State& state) {
  const auto folder = bench_folder();
  {
    LocalStore store(folder);
    const StoreDocument seeded = document_with_trust(4096);
    store.update([&](StoreDocument& document) { document = seeded; });
    const std::string contact = store.document().trust.begin()->first;
    bool verified = false;
    for (auto _ : state) {
      verified = !verified;
      store.update(
          [&](StoreDocument& document) { document.trust[contact].manuallyVerified = verified; });
    }
    state.counters["document_bytes"] = static_cast<double>(std::filesystem::file_size(store.url()));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_DurableUpdate4096TrustRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Encode4096TrustRecords(benchmark::State& state) {
  const StoreDocument document = document_with_trust(4096);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = encodeStoreDocument(document);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Encode4096TrustRecords)->Unit(benchmark::kMillisecond);

void BM_Read4096TrustRecords(benchmark::State& state) {
  const std::string text = encodeStoreDocument(document_with_trust(4096));
  for (auto _ : state) {
    auto document = readStoreDocument(text);
    benchmark::DoNotOptimize(&document);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Read4096TrustRecords)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmorine::store

BENCHMARK_MAIN();
