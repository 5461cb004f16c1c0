// What the transfer frames cost on the data path: one FILE_CHUNK is built and parsed per
// chunk of up to 1 MiB, and the application goes through the dictionary bridge for both.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "native/protocol/transfer_data_frames.h"
#include "native/protocol/transfer_frame_dictionary.h"
#include "native/protocol/ve_protocol.h"

namespace {

using namespace velmorine;
using namespace velmorine::protocol;

constexpr auto kSenderText = "5f0c4a1e-8b2d-4c3a-9e7f-102030405060";
constexpr auto kTransferText = "c0ffee00-1234-4abc-8def-0123456789ab";

FileChunkHeader chunk_header(std::uint64_t length) {
  FileChunkHeader header;
  header.id = *core::Uuid::parse("0f1e2d3c-4b5a-4697-8877-665544332211");
  header.sender = *core::Uuid::parse(kSenderText);
  header.transfer_id = *core::Uuid::parse(kTransferText);
  header.index = 12;
  header.offset = 123456789;
  header.length = length;
  return header;
}

void BM_SerializeFileChunk(benchmark::State& state) {
  const std::vector<std::uint8_t> content(static_cast<std::size_t>(state.range(0)), 0x5a);
  const auto header = chunk_header(content.size());
  for (auto _ : state) benchmark::DoNotOptimize(serialize_file_chunk(header, content));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SerializeFileChunk)->Arg(16)->Arg(65536)->Arg(1048576);

void BM_ParseFileChunk(benchmark::State& state) {
  const std::vector<std::uint8_t> content(1048576, 0x5a);
  const auto frame = *serialize_file_chunk(chunk_header(content.size()), content);
  const auto sender = *core::Uuid::parse(kSenderText);
  for (auto _ : state) benchmark::DoNotOptimize(parse_file_chunk(frame, sender));
}
BENCHMARK(BM_ParseFileChunk);

void BM_DictionaryOfferRoundTrip(benchmark::State& state) {
  const nlohmann::json fields = {{"transferID", kTransferText},
                                 {"name", "Holiday photos"},
                                 {"entryCount", 4096},
                                 {"topLevelCount", 12},
                                 {"totalBytes", 123456789012}};
  for (auto _ : state) {
    const auto frame = VEProtocol::transferFrameWithKind("TRANSFER_OFFER", kSenderText, fields);
    benchmark::DoNotOptimize(VEProtocol::transferFields(*frame, kSenderText));
  }
}
BENCHMARK(BM_DictionaryOfferRoundTrip);

}  // namespace
BENCHMARK_MAIN();
