// The frame decoder fed 64 KiB chunks, as a connection hands it received records, beside a
// plain memcpy of the same bytes: the decoder should copy each payload byte once and come
// close to memcpy on large frames.
//
// Every completed frame takes its payload buffer with it, so each large frame needs a fresh
// 1 MiB buffer; main sets the allocator up as the program does at start-up
// (`keep_frame_buffers_on_heap`), so those buffers are not faulted in page by page. The
// decoder's buffers are then heap memory used again frame after frame, like the one buffer
// the memcpy baseline copies into.

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "native/protocol/frame_codec.h"
#include "native/protocol/frame_memory.h"

namespace {

using namespace velmorine::protocol;

constexpr size_t kChunk = 65536;
constexpr size_t kStreamBytes = 32 * 1024 * 1024;

std::vector<uint8_t> stream_of(const Frame& frame) {
  const std::vector<uint8_t> one = *encode_frame(frame);
  std::vector<uint8_t> stream;
  stream.reserve(kStreamBytes + one.size());
  while (stream.size() < kStreamBytes) stream.insert(stream.end(), one.begin(), one.end());
  return stream;
}

const std::vector<uint8_t>& large_frames() {
  static const std::vector<uint8_t> stream = stream_of(Frame{
      FrameKind::file_chunk,
      R"({"major":2,"minor":0,"type":"FILE_CHUNK","id":"aaaaaaaa-0000-4000-8000-000000000001",)"
      R"("sender":"11111111-2222-4333-8444-555555555555","offset":"0","length":"1048576"})",
      std::vector<uint8_t>(kMaxFramePayloadLength, 0x5a)});
  return stream;
}

const std::vector<uint8_t>& chat_frames() {
  static const std::vector<uint8_t> stream = stream_of(
      Frame{FrameKind::chat,
            R"({"major":2,"minor":0,"type":"CHAT","id":"aaaaaaaa-0000-4000-8000-000000000001",)"
            R"("sender":"11111111-2222-4333-8444-555555555555",)"
            R"("message_id":"bbbbbbbb-0000-4000-8000-000000000002",)"
            R"("timestamp":"2024-02-29T23:59:59.999Z","text":"See you at the station at six."})",
            {}});
  return stream;
}

void decode(benchmark::State& state, const std::vector<uint8_t>& stream) {
  size_t frames = 0;
  for (auto _ : state) {
    FrameDecoder decoder;
    for (size_t pos = 0; pos < stream.size(); pos += kChunk) {
      const size_t take = std::min(kChunk, stream.size() - pos);
      DecodeResult result = decoder.feed(std::span(stream).subspan(pos, take));
      frames += result.frames.size();
      benchmark::DoNotOptimize(result.frames.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// The same bytes copied chunk by chunk into frame-sized buffers, as the decoder must at least.
void copy(benchmark::State& state, const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> target(kMaxFramePayloadLength + 65536);
  for (auto _ : state) {
    size_t offset = 0;
    for (size_t pos = 0; pos < stream.size(); pos += kChunk) {
      const size_t take = std::min(kChunk, stream.size() - pos);
      if (offset + take > target.size()) offset = 0;
      std::memcpy(target.data() + offset, stream.data() + pos, take);
      offset += take;
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_DecodeLargeFrames(benchmark::State& state) { decode(state, large_frames()); }
void BM_MemcpyLargeFrames(benchmark::State& state) { copy(state, large_frames()); }
void BM_DecodeChatFrames(benchmark::State& state) { decode(state, chat_frames()); }
void BM_MemcpyChatFrames(benchmark::State& state) { copy(state, chat_frames()); }

BENCHMARK(BM_DecodeLargeFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyLargeFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeChatFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyChatFrames)->Unit(benchmark::kMillisecond);

// Prints decoder / memcpy throughput for each stream after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions only the median stands for a benchmark.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates_[run.run_name.function_name] = rate->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* stream : {"LargeFrames", "ChatFrames"}) {
      const double decoder = rates_[std::string("BM_Decode") + stream];
      const double memcpy_rate = rates_[std::string("BM_Memcpy") + stream];
      if (memcpy_rate > 0) {
        GetOutputStream() << stream << ": decoder / memcpy = " << decoder / memcpy_rate << "\n";
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  keep_frame_buffers_on_heap();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
