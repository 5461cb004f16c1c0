// A listening device under many idle, unauthenticated TCP connections (a peer that connects and
// then says nothing): the CPU time its queue spends per second of wall time, the memory each
// idle connection holds, and the time one real handshake (connect to HELLO accepted on both
// sides) takes meanwhile. The same runs beside a handful of idle connections; the ratio of the
// two handshake times is printed at the end.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "Velmorine/network/secure_peer_session.h"
#include "native/protocol/ve_protocol.h"
#include "platform/net/tcp_listener.h"

namespace velmorine::network {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHandshakes = 5;
// Idle connections meet the 10-second handshake deadline; every measurement ends before it.
constexpr double kCpuWindowSeconds = 1.0;

struct Device {
  explicit Device(const char* label) : queue(label) {}

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
};

// A listener wired as the runtime wires its own: every accepted connection becomes a secure
// connection and a peer session on the device's queue, kept until it fails.
struct ListeningDevice : Device {
  std::shared_ptr<platform::TcpListener> listener;
  std::map<const SecurePeerSession*, std::shared_ptr<SecurePeerSession>> sessions;
  std::optional<VEAnnouncement> known;  // the one peer whose HELLO is accepted
  std::function<void()> onReady;
  size_t accepted = 0;
  clockid_t cpuClock{};

  ListeningDevice() : Device("bench.runtime") {
    queue.sync([&] {
      pthread_getcpuclockid(pthread_self(), &cpuClock);
      std::error_code error;
      listener = platform::TcpListener::open(queue, 0, error);
      listener->start([this](std::shared_ptr<platform::TcpConnection> tcp) {
        ++accepted;
        auto connection = SecureConnection::accepted(std::move(tcp), identity, queue, budget);
        if (connection) attach(std::move(connection));
      });
    });
  }
  ~ListeningDevice() {
    queue.sync([&] {
      auto open = std::move(sessions);
      for (auto& [key, session] : open) {
        session->onFailure = nullptr;
        session->close(nullptr);
      }
      listener->cancel();
      listener.reset();
    });
  }

  void attach(std::shared_ptr<SecureConnection> connection) {
    auto session = SecurePeerSession::create(std::move(connection),
                                             {id, nonce, identity, std::nullopt, 0, nullptr, true});
    session->lookup = [this](const std::string& deviceID) -> std::optional<VEAnnouncement> {
      if (known && known->deviceID() == deviceID) return known;
      return std::nullopt;
    };
    session->authenticate = [](const std::string& deviceID, std::span<const uint8_t>) {
      return deviceID;
    };
    session->onReady = [this](const AuthenticatedPeer&) {
      if (onReady) onReady();
    };
    const SecurePeerSession* key = session.get();
    session->onFailure = [this, key](std::exception_ptr) {
      // Not from inside the session's own close.
      queue.async([this, key] { sessions.erase(key); });
    };
    sessions.emplace(key, session);
    session->start();
  }

  double cpuSeconds() const {
    timespec ts{};
    clock_gettime(cpuClock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
};

// Connects, waits until both sides accepted each other's HELLO, and returns the seconds taken.
double handshake(ListeningDevice& server, Device& client) {
  std::promise<void> serverReady;
  std::promise<void> clientReady;
  std::shared_ptr<SecurePeerSession> dialled;
  server.queue.sync([&] {
    server.known = client.announcement();
    server.onReady = [&] { serverReady.set_value(); };
  });
  const auto start = Clock::now();
  client.queue.sync([&] {
    auto connection = SecureConnection::dial("127.0.0.1", server.listener->port(), client.identity,
                                             1, client.queue, client.budget);
    dialled = SecurePeerSession::create(
        std::move(connection),
        {client.id, client.nonce, client.identity, server.id, 1, nullptr, true});
    dialled->lookup = [known = server.announcement()](const std::string&) { return known; };
    dialled->authenticate = [](const std::string& deviceID, std::span<const uint8_t>) {
      return deviceID;
    };
    dialled->onReady = [&](const AuthenticatedPeer&) { clientReady.set_value(); };
    dialled->start();
  });
  serverReady.get_future().wait();
  clientReady.get_future().wait();
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  server.queue.sync([&] {
    server.onReady = nullptr;
    server.known.reset();
  });
  client.queue.sync([&] {
    dialled->close(nullptr);
    dialled.reset();
  });
  return elapsed.count();
}

size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void raiseDescriptorLimit(size_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

struct Figures {
  double queueCpuPerSecond = 0;
  double handshakeSeconds = 0;
};
std::map<int64_t, Figures> figures;

void BM_HandshakeBesideIdleConnections(benchmark::State& state) {
  const auto idle = static_cast<size_t>(state.range(0));
  // Both ends of every idle connection live in this process.
  raiseDescriptorLimit(2 * idle + 256);
  Figures result;
  double bytesPerIdle = 0;
  size_t opened = 0;
  double idleAge = 0;
  for (auto _ : state) {
    ListeningDevice server;
    Device client("bench.client");
    handshake(server, client);  // warms both sides up

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.listener->port());
    const size_t before = residentBytes();
    std::vector<int> sockets;
    const auto opening = Clock::now();
    for (size_t i = 0; i < idle; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        break;
      }
      sockets.push_back(fd);
    }
    opened = sockets.size();
    const auto patience = Clock::now() + std::chrono::seconds(5);
    for (size_t accepted = 0; accepted < opened + 1 && Clock::now() < patience;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      server.queue.sync([&] { accepted = server.accepted; });
    }
    bytesPerIdle = opened
                       ? static_cast<double>(residentBytes() - std::min(before, residentBytes())) /
                             static_cast<double>(opened)
                       : 0;

    const double cpuBefore = server.cpuSeconds();
    const auto windowStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kCpuWindowSeconds));
    const double cpuAfter = server.cpuSeconds();
    const std::chrono::duration<double> window = Clock::now() - windowStart;
    result.queueCpuPerSecond = (cpuAfter - cpuBefore) / window.count();

    std::vector<double> times;
    for (int i = 0; i < kHandshakes; ++i) times.push_back(handshake(server, client));
    std::sort(times.begin(), times.end());
    result.handshakeSeconds = times[times.size() / 2];
    idleAge = std::chrono::duration<double>(Clock::now() - opening).count();

    for (const int fd : sockets) ::close(fd);
  }
  figures[state.range(0)] = result;
  state.counters["idle_opened"] = static_cast<double>(opened);
  state.counters["queue_cpu_per_s"] = result.queueCpuPerSecond;
  state.counters["handshake_ms"] = result.handshakeSeconds * 1000.0;
  state.counters["bytes_per_idle"] = bytesPerIdle;
  // Past 10 seconds the idle connections were being timed out during the measurement.
  state.counters["idle_age_s"] = idleAge;
}
BENCHMARK(BM_HandshakeBesideIdleConnections)
    ->Arg(10)
    ->Arg(4000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmorine::network

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  using velmorine::network::figures;
  const auto few = figures.find(10);
  const auto many = figures.find(4000);
  if (few != figures.end() && many != figures.end() && few->second.handshakeSeconds > 0) {
    std::printf(
        "handshake beside 4000 idle / beside 10 idle: %.2fx (%.2f ms / %.2f ms); queue CPU per "
        "second: %.3f / %.3f\n",
        many->second.handshakeSeconds / few->second.handshakeSeconds,
        many->second.handshakeSeconds * 1000.0, few->second.handshakeSeconds * 1000.0,
        many->second.queueCpuPerSecond, few->second.queueCpuPerSecond);
  }
  return 0;
}
