// Discovery datagrams per second: reading an announcement, and recording it in a directory
// of 512 peers.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/network/peer_directory.h"
#include "native/protocol/discovery_announcement.h"
#include "native/protocol/ve_protocol.h"

namespace {

using namespace velmorine;

std::string device(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

std::vector<uint8_t> datagram(int n, uint64_t sequence) {
  return *VEProtocol::discoveryWithID(device(n), "Kitchen laptop " + std::to_string(n),
                                      std::string(64, 'a'), std::string(64, 'b'), 40000, 15,
                                      sequence);
}

const core::Uuid kLocal = *core::Uuid::parse("0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3");

void BM_parse_discovery(benchmark::State& state) {
  const auto bytes = datagram(1, 12345);
  for (auto _ : state) {
    auto result = protocol::parse_discovery(bytes, kLocal);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_parse_discovery);

// The path of one heard datagram through the runtime: read it, then record it among 512
// known peers (each refresh a higher sequence on a known route).
void BM_parse_and_upsert_512_peers(benchmark::State& state) {
  constexpr int kPeers = 512;
  std::vector<std::vector<uint8_t>> datagrams;
  for (int n = 1; n <= kPeers; ++n) datagrams.push_back(datagram(n, 1));
  network::PeerDirectory directory;
  for (const auto& bytes : datagrams) {
    directory.upsert(*VEProtocol::parseDiscovery(bytes, kLocal.to_string()), "10.0.0.2", "eth0",
                     nullptr, 1.0);
  }
  uint64_t sequence = 2;
  double now = 2.0;
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const int n = static_cast<int>(i % kPeers) + 1;
    if (n == 1) ++sequence;
    auto bytes = datagram(n, sequence);
    state.ResumeTiming();
    auto announcement = VEProtocol::parseDiscovery(bytes, kLocal.to_string());
    benchmark::DoNotOptimize(directory.upsert(*announcement, "10.0.0.2", "eth0", nullptr, now));
    now += 0.001;
    ++i;
  }
  state.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_parse_and_upsert_512_peers);

// Only the directory's part: announcements are read beforehand.
void BM_PeerDirectory_upsert_512_peers(benchmark::State& state) {
  constexpr int kPeers = 512;
  constexpr int kRounds = 64;
  std::vector<VEAnnouncement> announcements;
  for (int round = 0; round < kRounds; ++round) {
    for (int n = 1; n <= kPeers; ++n) {
      announcements.push_back(
          *VEProtocol::parseDiscovery(datagram(n, round + 1), kLocal.to_string()));
    }
  }
  network::PeerDirectory directory;
  double now = 1.0;
  size_t i = 0;
  for (auto _ : state) {
    if (i == announcements.size()) {
      // Start over with a fresh directory so each upsert refreshes a known route again.
      state.PauseTiming();
      directory = network::PeerDirectory();
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(directory.upsert(announcements[i], "10.0.0.2", "eth0", nullptr, now));
    now += 0.001;
    ++i;
  }
  state.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peers"] = static_cast<double>(directory.peers.size());
}
BENCHMARK(BM_PeerDirectory_upsert_512_peers);

// A flood of invented devices into a full directory: every announcement is a new device that
// replaces the least recently heard one. Argument 0 sends the devices in rising identifier
// order, 1 in falling order (where identifier order and hearing order are opposite, the worst
// case for a search through the map).
void BM_PeerDirectory_replace_in_full_512(benchmark::State& state) {
  constexpr int kPeers = 512;
  constexpr int kDevices = 2 * kPeers;  // cycling through twice as many keeps each one new
  const bool falling = state.range(0) != 0;
  std::vector<VEAnnouncement> announcements;
  for (int i = 0; i < kDevices; ++i) {
    const int n = falling ? kDevices - i : i + 1;
    announcements.push_back(*VEProtocol::parseDiscovery(datagram(n, 1), kLocal.to_string()));
  }
  // What the runtime asks: a trust record or an open session, both looked up by identifier.
  std::set<std::string> trusted;
  for (int n = 1; n <= 8; ++n) trusted.insert(device(n));
  network::PeerDirectory directory;
  directory.isProtected = [&trusted](const std::string& id) { return trusted.contains(id); };
  double now = 1.0;
  size_t i = 0;
  for (int k = 0; k < kPeers; ++k) {
    directory.upsert(announcements[i++ % kDevices], "10.0.0.66", "eth0", nullptr, now);
    now += 0.001;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        directory.upsert(announcements[i++ % kDevices], "10.0.0.66", "eth0", nullptr, now));
    now += 0.001;
  }
  state.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peers"] = static_cast<double>(directory.peers.size());
}
BENCHMARK(BM_PeerDirectory_replace_in_full_512)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
