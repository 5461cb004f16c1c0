// Connecting two runtimes over loopback: from `connectPeer` until both snapshots show the
// admitted session (and until both runtimes admitted it), beside a bare secure connection and
// peer session doing the same handshake (connect, prelude, Noise XX, HELLO both ways) in the
// same run. Ratios: bare time / runtime time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/network/secure_peer_session.h"
#include "bench/Velmorine/runtime/runtime_bench_support.h"
#include "native/protocol/ve_protocol.h"
#include "platform/net/tcp_listener.h"

namespace velmorine::runtime::bench {
namespace {

using network::AuthenticatedPeer;
using network::NetworkOutputBudget;
using network::SecureConnection;
using network::SecurePeerSession;

// ---- The bare handshake: a listening device and a dialling device, each on its own queue ----

struct BareDevice {
  explicit BareDevice(const char* label) : queue(label) {}

  platform::SerialQueue queue;
  std::string id = core::Uuid::random().to_string();
  std::string nonce = std::string(64, 'c');
  std::shared_ptr<const VEIdentity> identity = *VEIdentity::generate();
  std::shared_ptr<NetworkOutputBudget> budget = std::make_shared<NetworkOutputBudget>();

  VEAnnouncement announcement() const {
    const auto datagram =
        VEProtocol::discoveryWithID(id, "bench", identity->fingerprint(), nonce, 1, 15, 1);
    return *VEProtocol::parseDiscovery(*datagram, "00000000-0000-4000-8000-0000000000aa");
  }

  std::shared_ptr<SecurePeerSession> session(std::shared_ptr<SecureConnection> connection,
                                             const BareDevice& peer, bool dialled,
                                             std::function<void()> ready) {
    auto made = SecurePeerSession::create(
        std::move(connection),
        {id, nonce, identity, dialled ? std::optional(peer.id) : std::nullopt, dialled ? 1u : 0u,
         nullptr, false});
    made->lookup = [known = peer.announcement()](const std::string&) { return known; };
    made->authenticate = [](const std::string& deviceID, std::span<const uint8_t>) {
      return deviceID;
    };
    made->onReady = [ready = std::move(ready)](const AuthenticatedPeer&) { ready(); };
    return made;
  }
};

struct BarePair {
  BareDevice server{"bench.server"};
  BareDevice client{"bench.client"};
  std::shared_ptr<platform::TcpListener> listener;
  std::shared_ptr<SecurePeerSession> accepted;
  std::shared_ptr<SecurePeerSession> dialled;
  std::function<void()> onServerReady;

  BarePair() {
    server.queue.sync([&] {
      std::error_code error;
      listener = platform::TcpListener::open(server.queue, 0, error);
      listener->start([this](std::shared_ptr<platform::TcpConnection> tcp) {
        auto connection = SecureConnection::accepted(std::move(tcp), server.identity, server.queue,
                                                     server.budget);
        auto session = server.session(std::move(connection), client, false, [this] {
          if (onServerReady) onServerReady();
        });
        accepted = session;
        session->start();
      });
    });
  }
  ~BarePair() {
    server.queue.sync([&] {
      if (accepted) accepted->close(nullptr);
      accepted.reset();
      listener->cancel();
      listener.reset();
    });
    client.queue.sync([&] {
      if (dialled) dialled->close(nullptr);
      dialled.reset();
    });
  }

  void disconnect() {
    client.queue.sync([&] {
      if (dialled) dialled->close(nullptr);
      dialled.reset();
    });
    server.queue.sync([&] {
      if (accepted) accepted->close(nullptr);
      accepted.reset();
    });
  }

  // Dials and gives the seconds until both sides accepted each other's HELLO.
  double connect() {
    std::promise<void> serverReady;
    std::promise<void> clientReady;
    server.queue.sync([&] { onServerReady = [&] { serverReady.set_value(); }; });
    const auto started = Clock::now();
    client.queue.async([&] {
      auto connection = SecureConnection::dial("127.0.0.1", listener->port(), client.identity, 1,
                                               client.queue, client.budget);
      dialled =
          client.session(std::move(connection), server, true, [&] { clientReady.set_value(); });
      dialled->start();
    });
    serverReady.get_future().wait();
    clientReady.get_future().wait();
    const double seconds = secondsSince(started);
    server.queue.sync([&] { onServerReady = nullptr; });
    return seconds;
  }
};

// ---- The runtimes ----

// Closes every session of `a` and waits until both runtimes hold none.
void disconnect(BenchRuntime& a, BenchRuntime& b) {
  a->queue().sync([&] {
    const auto open = a->sessions;
    for (const auto& [id, session] : open) {
      session->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
    }
  });
  const auto deadline = Clock::now() + kPatience;
  for (BenchRuntime* runtime : {&a, &b}) {
    while (true) {
      bool idle = false;
      (*runtime)->queue().sync([&] {
        idle = (*runtime)->sessions.empty() && (*runtime)->active.empty() &&
               (*runtime)->connecting.empty();
      });
      if (idle) break;
      if (Clock::now() > deadline) throw std::runtime_error("the sessions did not close");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  // The snapshots saying so have reached the main queue.
  a.syncMain();
}

void BM_ConnectPeerBesideBareHandshake(benchmark::State& state) {
  BenchWorld world;
  TemporaryFolder aFolder;
  TemporaryFolder bFolder;
  BenchRuntime a(world, aFolder.path(), std::make_shared<MemoryIdentityKeychain>());
  BenchRuntime b(world, bFolder.path(), std::make_shared<MemoryIdentityKeychain>());
  a.startNetworking();
  b.startNetworking();
  // The first connection trusts each key (a store write each side); later ones find it trusted.
  connectPair(a, b);
  const std::string aID = a.id();
  const std::string bID = b.id();
  BarePair bare;

  // When each runtime admitted the session: the diagnostic it gives on its queue right then,
  // the runtime's counterpart of a bare session's onReady.
  struct Admissions {
    std::mutex mutex;
    Clock::time_point a;
    Clock::time_point b;
  };
  auto admissions = std::make_shared<Admissions>();
  auto noteAdmission = [admissions](Clock::time_point Admissions::*side) {
    return [admissions, side](const std::string& code) {
      static const std::string ready = "control.ready";
      if (code != ready) return;
      std::lock_guard lock(admissions->mutex);
      (*admissions).*side = Clock::now();
    };
  };
  a->setOnDiagnostic(noteAdmission(&Admissions::a));
  b->setOnDiagnostic(noteAdmission(&Admissions::b));

  double runtimeSeconds = 0;
  double admittedSeconds = 0;
  double bareSeconds = 0;
  for (auto _ : state) {
    disconnect(a, b);
    const uint64_t aBefore = a.snapshotCount();
    const uint64_t bBefore = b.snapshotCount();
    const auto started = Clock::now();
    a->connectPeer(bID);
    if (!a.waitFor([&](const RuntimeSnapshot& s) { return admitted(s, bID); }, aBefore) ||
        !b.waitFor([&](const RuntimeSnapshot& s) { return admitted(s, aID); }, bBefore)) {
      state.SkipWithError("the runtimes did not connect");
      break;
    }
    const double seconds = secondsSince(started);
    runtimeSeconds += seconds;
    state.SetIterationTime(seconds);
    {
      std::lock_guard lock(admissions->mutex);
      admittedSeconds +=
          std::chrono::duration<double>(std::max(admissions->a, admissions->b) - started).count();
    }

    bare.disconnect();
    bareSeconds += bare.connect();
  }
  const double n = static_cast<double>(state.iterations());
  // To the snapshots on the main queue (what the interface sees), and to the admission itself.
  state.counters["runtime_ms"] = runtimeSeconds / n * 1e3;
  state.counters["admitted_ms"] = admittedSeconds / n * 1e3;
  state.counters["bare_ms"] = bareSeconds / n * 1e3;
  state.counters["bare_to_runtime"] = bareSeconds / runtimeSeconds;
  state.counters["bare_to_admitted"] = bareSeconds / admittedSeconds;
}
BENCHMARK(BM_ConnectPeerBesideBareHandshake)
    ->Iterations(300)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmorine::runtime::bench

BENCHMARK_MAIN();
