// A whole channel round in memory beside the bare AEAD over the same bytes,
// in one process: the ratio is what the record layer costs on top of the
// cipher (target: at least 0.8).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "native/secure/primitives/chacha20_poly1305.h"
#include "native/secure/ve_secure_channel.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kFrame = 1 << 20;
constexpr size_t kRecord = 61440;
constexpr size_t kChunk = 65536;  // what a connection hands to receive at most

struct ChannelPair {
  std::unique_ptr<velmorine::VESecureChannel> initiator, responder;
};

ChannelPair establish() {
  auto initiator_identity = *velmorine::VEIdentity::generate();
  auto responder_identity = *velmorine::VEIdentity::generate();
  ChannelPair pair{*velmorine::VESecureChannel::withIdentity(initiator_identity, true, 1),
                   *velmorine::VESecureChannel::withIdentity(responder_identity, false, 0)};
  while (!pair.initiator->established() || !pair.responder->established()) {
    (void)pair.responder->receive(*pair.initiator->takeHandshakeOutput());
    (void)pair.initiator->receive(*pair.responder->takeHandshakeOutput());
  }
  (void)pair.responder->receive(*pair.initiator->takeHandshakeOutput());
  return pair;
}

// Encrypt a 1 MiB frame on one side; receive it in connection-sized chunks
// and decrypt on the other.
void channel_round(benchmark::State& state) {
  ChannelPair pair = establish();
  const Bytes frame(kFrame, 0x5A);
  for (auto _ : state) {
    auto records = pair.initiator->encrypt(frame);
    size_t opened = 0;
    for (size_t offset = 0; offset < records->size(); offset += kChunk) {
      const size_t length = std::min(kChunk, records->size() - offset);
      auto plaintext = pair.responder->receive(std::span(*records).subspan(offset, length));
      for (const Bytes& record : *plaintext) opened += record.size();
    }
    if (opened != kFrame) state.SkipWithError("lost bytes");
    benchmark::DoNotOptimize(opened);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrame));
}

// The same bytes through the bare ChaCha20-Poly1305 of the primitives: seal and
// open 61440-byte records, in place.
void bare_aead(benchmark::State& state) {
  uint8_t key[32] = {7};
  const uint8_t header[2] = {0xF0, 0x10};
  Bytes buffer(kRecord + 16, 0x5A);
  uint64_t nonce = 0;
  for (auto _ : state) {
    for (size_t done = 0; done < kFrame; done += kRecord) {
      const size_t length = std::min(kRecord, kFrame - done);
      velmorine::secure::chacha20_poly1305_seal(buffer.data(), key, nonce, header, 2, buffer.data(),
                                                length);
      if (!velmorine::secure::chacha20_poly1305_open(buffer.data(), key, nonce, header, 2,
                                                     buffer.data(), length + 16)) {
        state.SkipWithError("open failed");
      }
      ++nonce;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrame));
}

// Keeps the median rate of each benchmark so that the ratio can be printed
// after the table; medians hold up better on a shared machine.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto bytes = run.counters.find("bytes_per_second");
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          bytes != run.counters.end()) {
        rates_[run.run_name.function_name] = bytes->second;
      }
    }
  }
  void print_ratio() const {
    const auto channel = rates_.find("secure_channel_round_1MiB");
    const auto bare = rates_.find("bare_chachapoly_seal_open_1MiB");
    if (channel == rates_.end() || bare == rates_.end() || bare->second == 0) return;
    std::printf("\nmedians: channel %.1f MB/s, bare AEAD %.1f MB/s, ratio %.2f (target >= 0.80)\n",
                channel->second / 1e6, bare->second / 1e6, channel->second / bare->second);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  for (auto* registered :
       {benchmark::RegisterBenchmark("secure_channel_round_1MiB", channel_round),
        benchmark::RegisterBenchmark("bare_chachapoly_seal_open_1MiB", bare_aead)}) {
    registered->Repetitions(5)->ReportAggregatesOnly(true);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio();
  benchmark::Shutdown();
  return 0;
}
