// Secure connections over loopback TCP: whole handshakes per second (connect, prelude,
// Noise XX, HELLO both ways), and the bytes per second of 1 MiB frames through one
// authenticated session beside a plain TCP socket pair moving the same bytes in the same run.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "Velmorine/network/secure_peer_session.h"
#include "native/protocol/ve_protocol.h"
#include "platform/net/tcp_listener.h"

namespace velmorine::network {
namespace {

constexpr size_t kFramePayload = 1048576;

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

  std::shared_ptr<SecurePeerSession> session(std::shared_ptr<SecureConnection> connection,
                                             const Device& peer, bool dialled,
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

// A listening device and a dialling device, each on its own queue.
struct Pair {
  Device server{"bench.server"};
  Device client{"bench.client"};
  std::shared_ptr<platform::TcpListener> listener;
  std::shared_ptr<SecurePeerSession> accepted;
  std::shared_ptr<SecurePeerSession> dialled;
  std::function<void(std::shared_ptr<SecurePeerSession>)> onAccepted;

  Pair() {
    server.queue.sync([&] {
      std::error_code error;
      listener = platform::TcpListener::open(server.queue, 0, error);
      listener->start([this](std::shared_ptr<platform::TcpConnection> tcp) {
        auto connection = SecureConnection::accepted(std::move(tcp), server.identity, server.queue,
                                                     server.budget);
        auto session = server.session(std::move(connection), client, false, [] {});
        accepted = session;
        if (onAccepted) onAccepted(session);
        session->start();
      });
    });
  }
  ~Pair() {
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

  // Dials, and returns once both sides accepted each other's HELLO.
  void connect() {
    std::promise<void> serverReady;
    std::promise<void> clientReady;
    server.queue.sync([&] {
      if (accepted) accepted->close(nullptr);
      accepted.reset();
      onAccepted = [&](const std::shared_ptr<SecurePeerSession>& session) {
        session->onReady = [&](const AuthenticatedPeer&) { serverReady.set_value(); };
      };
    });
    client.queue.sync([&] {
      if (dialled) dialled->close(nullptr);
      auto connection = SecureConnection::dial("127.0.0.1", listener->port(), client.identity, 1,
                                               client.queue, client.budget);
      dialled =
          client.session(std::move(connection), server, true, [&] { clientReady.set_value(); });
      dialled->start();
    });
    serverReady.get_future().wait();
    clientReady.get_future().wait();
  }
};

void BM_SecureConnectionHandshake(benchmark::State& state) {
  Pair pair;
  for (auto _ : state) pair.connect();
  state.counters["handshakes_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SecureConnectionHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sends `total` bytes as 1 MiB frames from the client to the server and waits until the server
// has received all of them; returns the seconds it took.
double moveThroughSession(Pair& pair, size_t total) {
  std::promise<void> done;
  size_t received = 0;
  pair.server.queue.sync([&] {
    pair.accepted->onFrame = [&](const VEFrame& frame, const AuthenticatedPeer&) {
      received += frame.frame().payload.size();
      if (received == total) done.set_value();
    };
  });
  protocol::Frame bulk;
  bulk.header_utf8 = R"({"type":"BULK"})";
  bulk.payload.assign(kFramePayload, 0x42);
  const VEFrame frame(std::move(bulk));
  size_t sent = 0;
  const auto start = std::chrono::steady_clock::now();
  pair.client.queue.sync([&] {
    auto feed = [&] {
      while (sent < total && pair.dialled->send(frame)) sent += kFramePayload;
    };
    pair.dialled->connection()->onWritable = feed;
    feed();
  });
  done.get_future().wait();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  pair.client.queue.sync([&] { pair.dialled->connection()->onWritable = nullptr; });
  return elapsed.count();
}

// The same bytes, in the same 1 MiB writes, through a plain loopback TCP socket pair.
double moveThroughPlainTcp(size_t total) {
  const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listening, 1);
  ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
  const int writer = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int reader = ::accept(listening, nullptr, nullptr);
  ::setsockopt(reader, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::close(listening);

  const std::vector<uint8_t> chunk(kFramePayload, 0x42);
  const auto start = std::chrono::steady_clock::now();
  std::thread sending([&] {
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
      size_t offset = 0;
      while (offset < chunk.size()) {
        const ssize_t written = ::write(writer, chunk.data() + offset, chunk.size() - offset);
        if (written <= 0) return;
        offset += static_cast<size_t>(written);
      }
    }
  });
  std::vector<uint8_t> buffer(65536);
  size_t received = 0;
  while (received < total) {
    const ssize_t read = ::read(reader, buffer.data(), buffer.size());
    if (read <= 0) break;
    received += static_cast<size_t>(read);
  }
  sending.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  ::close(writer);
  ::close(reader);
  return elapsed.count();
}

void BM_SessionThroughputBesidePlainTcp(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0)) * kFramePayload;
  Pair pair;
  pair.connect();
  double sessionSeconds = 0;
  double tcpSeconds = 0;
  for (auto _ : state) {
    sessionSeconds += moveThroughSession(pair, total);
    tcpSeconds += moveThroughPlainTcp(total);
  }
  const double bytes = static_cast<double>(total) * static_cast<double>(state.iterations());
  state.counters["session_MiB_per_s"] = bytes / sessionSeconds / 1048576.0;
  state.counters["plain_tcp_MiB_per_s"] = bytes / tcpSeconds / 1048576.0;
  state.counters["session_to_tcp"] = tcpSeconds / sessionSeconds;
}
BENCHMARK(BM_SessionThroughputBesidePlainTcp)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmorine::network

BENCHMARK_MAIN();
