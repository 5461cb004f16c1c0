// Discovery load on a well-used runtime: announcements per second through the runtime (each
// parsed, upserted into the directory and followed by a snapshot) with 512 peers heard on two
// interfaces, 4,096 trust records in the store, 1,200 live messages in the window and
// 1,000,000 delivered messages in the history; beside `PeerDirectory::upsert` alone on the same
// announcements. The target is 1,000 a second: three times what 512 peers on two interfaces
// send.

#include <benchmark/benchmark.h>

#include "Velmorine/network/peer_directory.h"
#include "bench/Velmorine/runtime/runtime_bench_support.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime::bench {
namespace {

constexpr size_t kTrustRecords = store::LocalStore::kMaximumTrustRecords;
constexpr size_t kPeers = network::kMaximumPeers;
constexpr int64_t kDeliveredMessages = 1000000;
constexpr const char* kInterfaces[] = {"eth0", "eth1"};

// Identifiers that differ from their first character, as random ones do.
std::string contactAt(size_t index) {
  return numberedID(static_cast<uint32_t>((index + 1) * 2654435761u), index);
}

std::vector<uint8_t> keyOf(size_t index) {
  std::vector<uint8_t> key(32);
  for (size_t byte = 0; byte < key.size(); ++byte) {
    key[byte] = static_cast<uint8_t>((index * 131 + byte * 7 + 1) & 0xff);
  }
  return key;
}

// Contact 0 holds the selected conversation; the announcing peers are contacts 1 to 512, each
// trusted with the key it announces.
const std::string& selectedContact() {
  static const std::string contact = contactAt(0);
  return contact;
}

struct AnnouncingPeer {
  std::string id;
  std::string fingerprint;
  std::string nonce;
};

const std::vector<AnnouncingPeer>& announcingPeers() {
  static const std::vector<AnnouncingPeer> peers = [] {
    std::vector<AnnouncingPeer> made;
    for (size_t index = 1; index <= kPeers; ++index) {
      made.push_back({contactAt(index), *VEProtocol::fingerprint(keyOf(index)),
                      std::string(64, static_cast<char>('a' + index % 6))});
    }
    return made;
  }();
  return peers;
}

// The folder with the history spread over `historyContacts` contacts: the selected one holds
// the older half, the newer half goes round the others (the announcing peers come first).
// Only the latest is kept (the arguments run one after another): each takes about 600 MB.
SeededFolder& seededFolder(size_t historyContacts) {
  static size_t madeFor = 0;
  static std::unique_ptr<SeededFolder> seeded;
  if (seeded && madeFor == historyContacts) return *seeded;
  seeded.reset();
  seeded = std::make_unique<SeededFolder>();
  madeFor = historyContacts;
  const auto started = Clock::now();
  seedStore(seeded->folder.path(), [](store::StoreDocument& document) {
    document.preferences.networkEnabled = true;
    for (size_t index = 0; index < kTrustRecords; ++index) {
      document.trust[contactAt(index)] =
          store::TrustRecord{*core::Uuid::parse(contactAt(index)), keyOf(index), false, false};
    }
  });
  const int64_t others = static_cast<int64_t>(historyContacts) - 1;
  seedHistory(
      seeded->folder.path(), kDeliveredMessages,
      [others](int64_t number) {
        if (number < kDeliveredMessages / 2) return SeedMessage{selectedContact(), true};
        return SeedMessage{contactAt(1 + static_cast<size_t>(number % others)), true};
      },
      keyOf(0));
  seeded->seedSeconds = secondsSince(started);
  return *seeded;
}

// One round: every peer once on each interface, with sequence `round`.
struct Hearing {
  std::vector<uint8_t> datagram;
  std::string host;
  std::string interface;
};

std::vector<Hearing> roundOfAnnouncements(uint64_t round) {
  std::vector<Hearing> hearings;
  const auto& peers = announcingPeers();
  for (size_t index = 0; index < peers.size(); ++index) {
    const auto& peer = peers[index];
    const auto datagram =
        VEProtocol::discoveryWithID(peer.id, "Peer " + std::to_string(index), peer.fingerprint,
                                    peer.nonce, 40000 + index, kAnnouncementCapabilities, round);
    for (size_t side = 0; side < 2; ++side) {
      hearings.push_back({*datagram,
                          "10." + std::to_string(side + 1) + "." + std::to_string(index / 256) +
                              "." + std::to_string(index % 256),
                          kInterfaces[side]});
    }
  }
  return hearings;
}

// The directory alone: announcements a second that `upsert` takes, parsed beforehand.
double upsertRate(uint64_t rounds) {
  network::PeerDirectory directory;
  const std::string reader = numberedID(0xbeef0000, 1);
  double seconds = 0;
  size_t count = 0;
  for (uint64_t round = 1; round <= rounds; ++round) {
    std::vector<std::pair<VEAnnouncement, const Hearing*>> parsed;
    const auto hearings = roundOfAnnouncements(round);
    for (const auto& hearing : hearings) {
      parsed.emplace_back(*VEProtocol::parseDiscovery(hearing.datagram, reader), &hearing);
    }
    const auto started = Clock::now();
    for (const auto& [announcement, hearing] : parsed) {
      directory.upsert(
          announcement, hearing->host, hearing->interface, [] {}, 1000.0);
    }
    seconds += secondsSince(started);
    count += parsed.size();
  }
  return static_cast<double>(count) / seconds;
}

// range(0): how many contacts the history holds; each of them that is not announcing is a
// historical row of every snapshot.
void BM_DiscoveryLoad(benchmark::State& state) {
  SeededFolder& seeded = seededFolder(static_cast<size_t>(state.range(0)));
  BenchWorld world;
  BenchRuntime runtime(world, seeded.folder.path(), seeded.keychain);
  runtime.startNetworking();
  // The window: the newest page of the selected conversation and nine earlier ones (1,000
  // messages) beside the 200 newest of the others that the start loaded.
  for (int page = 0; page < 10; ++page) runtime->selectConversation(selectedContact(), page > 0);
  runtime->queue().sync([] {});
  runtime.syncMain();
  const size_t liveMessages =
      runtime.withLatest([](const RuntimeSnapshot& snapshot) { return snapshot.messages.size(); });
  const auto discovery = runtime.discovery();

  uint64_t round = 1;
  auto deliverRound = [&] {
    const auto hearings = roundOfAnnouncements(round++);
    const auto started = Clock::now();
    for (const auto& hearing : hearings) {
      discovery->hear(hearing.datagram, hearing.host, hearing.interface);
    }
    runtime->queue().sync([] {});
    const double seconds = secondsSince(started);
    runtime.syncMain();
    return std::pair(seconds, hearings.size());
  };
  deliverRound();  // the peers are new once

  double seconds = 0;
  size_t announcements = 0;
  for (auto _ : state) {
    const auto [took, count] = deliverRound();
    state.SetIterationTime(took);
    seconds += took;
    announcements += count;
  }
  const size_t peers =
      runtime.withLatest([](const RuntimeSnapshot& snapshot) { return snapshot.peers.size(); });
  const double rate = static_cast<double>(announcements) / seconds;
  const double directoryRate = upsertRate(8);
  state.counters["announcements_per_s"] = rate;
  state.counters["upsert_alone_per_s"] = directoryRate;
  state.counters["runtime_to_upsert"] = rate / directoryRate;
  state.counters["target_ratio"] = rate / 1000.0;
  state.counters["live_messages"] = static_cast<double>(liveMessages);
  state.counters["peer_rows"] = static_cast<double>(peers);
  state.counters["seed_s"] = seeded.seedSeconds;
}
BENCHMARK(BM_DiscoveryLoad)
    ->ArgName("historyContacts")
    ->Arg(kPeers + 1)
    ->Arg(kTrustRecords)
    ->Iterations(4)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmorine::runtime::bench

BENCHMARK_MAIN();
