// The chat road between two runtimes over loopback, with the durable history: the round trip
// of one message (from `sendText` until the sender's snapshot shows it acknowledged) and
// messages a second with both sides sending (128 pending at most). Beside each, in the same
// run, a plain TCP ping-pong over loopback that makes the same durable commits per message
// directly on `ConversationHistory` (sender: enqueue, to sending, to delivered; receiver: the
// receipt). Ratios: baseline time / runtime time.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "bench/Velmorine/runtime/runtime_bench_support.h"

namespace velmorine::runtime::bench {
namespace {

constexpr int kPerSide = static_cast<int>(kMaximumPendingChats);

// ---- The baseline: the same commits, a bare TCP socket and a plain frame ----

// A frame: a one-byte kind (1 a message, 2 its acknowledgement), a 4-byte length, the bytes.
void writeFrame(int fd, uint8_t kind, const std::string& bytes) {
  std::string frame(5, '\0');
  frame[0] = static_cast<char>(kind);
  const uint32_t length = htonl(static_cast<uint32_t>(bytes.size()));
  std::memcpy(frame.data() + 1, &length, 4);
  frame += bytes;
  size_t offset = 0;
  while (offset < frame.size()) {
    const ssize_t written = ::send(fd, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL);
    if (written <= 0) throw std::runtime_error("baseline write failed");
    offset += static_cast<size_t>(written);
  }
}

void readExactly(int fd, char* into, size_t size) {
  size_t offset = 0;
  while (offset < size) {
    const ssize_t got = ::recv(fd, into + offset, size - offset, 0);
    if (got <= 0) throw std::runtime_error("baseline read failed");
    offset += static_cast<size_t>(got);
  }
}

std::pair<uint8_t, std::string> readFrame(int fd) {
  char header[5];
  readExactly(fd, header, 5);
  uint32_t length;
  std::memcpy(&length, header + 1, 4);
  std::string bytes(ntohl(length), '\0');
  readExactly(fd, bytes.data(), bytes.size());
  return {static_cast<uint8_t>(header[0]), std::move(bytes)};
}

// A connected loopback TCP pair, without Nagle's delay, as the runtime's sockets are.
std::pair<int, int> loopbackPair() {
  const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listening, 1);
  ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
  const int dialled = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(dialled, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listening);
  const int one = 1;
  ::setsockopt(dialled, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return {dialled, accepted};
}

// One side of the baseline: its own history file and its end of the socket.
struct BareSide {
  BareSide(std::string self, std::string peer)
      : selfID(std::move(self)), peerID(std::move(peer)), history(folder / kHistoryFileName) {}

  TemporaryFolder folder;
  std::string selfID;
  std::string peerID;
  store::ConversationHistory history;
  std::vector<uint8_t> peerKey = std::vector<uint8_t>(32, 9);
  int fd = -1;
  uint64_t next = 0;

  store::ConversationHistoryRecord recordOf(const RuntimeMessage& message) {
    return store::ConversationHistoryRecord{
        .kind = "message",
        .peer = message.contactID,
        .id = message.id,
        .payload = encodeRuntimeMessage(message),
        .unsettled = message.delivery == MessageDelivery::queued ||
                     message.delivery == MessageDelivery::sending,
        .receiptText = message.outgoing ? std::nullopt : std::optional(message.text),
    };
  }

  // Queues a message, moves its row to sending and writes it; gives the row.
  store::ConversationOutboxEntry send() {
    RuntimeMessage message;
    message.id = core::Uuid::random().to_string();
    message.frameID = core::Uuid::random().to_string();
    message.peerID = peerID;
    message.contactID = peerID;
    message.text = "message " + std::to_string(next++) + " from the baseline";
    message.outgoing = true;
    message.date = store::Date{800000000};
    message.delivery = MessageDelivery::queued;
    history.enqueue(recordOf(message), peerKey, 0, std::nullopt);
    store::ConversationOutboxQuery query;
    query.kind = "message";
    query.peer = peerID;
    query.limit = 1;
    auto row = history.pendingOutboxEntries(query).front();
    message.delivery = MessageDelivery::sending;
    history.transitionOutboxEntry(row, store::ConversationOutboxState::sending, recordOf(message),
                                  0);
    row.state = store::ConversationOutboxState::sending;
    ++row.attempts;
    writeFrame(fd, 1, encodeToText(message));
    return row;
  }

  void acknowledged(const store::ConversationOutboxEntry& row) {
    auto message = decodeRuntimeMessage(row.record.payload);
    message.delivery = MessageDelivery::acknowledged;
    history.transitionOutboxEntry(row, store::ConversationOutboxState::delivered, recordOf(message),
                                  0);
  }

  // Stores what arrived and acknowledges it.
  void receive(const std::string& bytes) {
    auto message = decodeRuntimeMessage(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    message.peerID = peerID;
    message.contactID = peerID;
    message.frameID.clear();
    message.outgoing = false;
    message.delivery = MessageDelivery::received;
    history.storeReceipt(recordOf(message), message.text, 0, peerKey);
    writeFrame(fd, 2, message.id);
  }

  static std::string encodeToText(const RuntimeMessage& message) {
    const auto bytes = encodeRuntimeMessage(message);
    return std::string(bytes.begin(), bytes.end());
  }

  // Sends `toSend` messages one at a time, each after the last was acknowledged, while taking
  // `toReceive` from the other side.
  void run(int toSend, int toReceive) {
    int sent = 0;
    int received = 0;
    std::optional<store::ConversationOutboxEntry> inFlight;
    while (sent < toSend || inFlight || received < toReceive) {
      if (!inFlight && sent < toSend) {
        inFlight = send();
        ++sent;
      }
      auto [kind, bytes] = readFrame(fd);
      if (kind == 1) {
        receive(bytes);
        ++received;
      } else if (inFlight) {
        acknowledged(*inFlight);
        inFlight.reset();
      }
    }
  }
};

struct BarePair {
  BareSide a{numberedID(0xaaaa0000, 1), numberedID(0xbbbb0000, 1)};
  BareSide b{numberedID(0xbbbb0000, 1), numberedID(0xaaaa0000, 1)};

  BarePair() { std::tie(a.fd, b.fd) = loopbackPair(); }
  ~BarePair() {
    ::close(a.fd);
    ::close(b.fd);
  }

  // Seconds for `aSends` messages from a and `bSends` from b.
  double exchange(int aSends, int bSends) {
    const auto started = Clock::now();
    std::thread other([&] { b.run(bSends, aSends); });
    a.run(aSends, bSends);
    other.join();
    return secondsSince(started);
  }
};

// ---- The runtimes ----

struct ConnectedRuntimes {
  BenchWorld world;
  TemporaryFolder aFolder;
  TemporaryFolder bFolder;
  BenchRuntime a{world, aFolder.path(), std::make_shared<MemoryIdentityKeychain>()};
  BenchRuntime b{world, bFolder.path(), std::make_shared<MemoryIdentityKeychain>()};
  std::string aID;
  std::string bID;

  ConnectedRuntimes() {
    a.startNetworking();
    b.startNetworking();
    connectPair(a, b);
    aID = a.id();
    bID = b.id();
  }
};

bool acknowledgedText(const RuntimeSnapshot& snapshot, const std::string& text) {
  for (auto it = snapshot.messages.rbegin(); it != snapshot.messages.rend(); ++it) {
    if (it->text == text) return it->delivery == MessageDelivery::acknowledged;
  }
  return false;
}

void BM_ChatRoundTrip(benchmark::State& state) {
  ConnectedRuntimes pair;
  BarePair bare;
  double runtimeSeconds = 0;
  double bareSeconds = 0;
  uint64_t number = 0;
  for (auto _ : state) {
    const std::string text = "round trip " + std::to_string(number++);
    const auto started = Clock::now();
    pair.a->sendText(pair.bID, text, std::nullopt);
    if (!pair.a.waitFor([&](const RuntimeSnapshot& s) { return acknowledgedText(s, text); })) {
      state.SkipWithError("the message was not acknowledged");
      break;
    }
    const double seconds = secondsSince(started);
    state.SetIterationTime(seconds);
    runtimeSeconds += seconds;
    bareSeconds += bare.exchange(1, 0);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["runtime_ms"] = runtimeSeconds / n * 1e3;
  state.counters["baseline_ms"] = bareSeconds / n * 1e3;
  state.counters["baseline_to_runtime"] = bareSeconds / runtimeSeconds;
}
BENCHMARK(BM_ChatRoundTrip)
    ->Iterations(300)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Each side queues `kPerSide` messages to the other; the round ends when every one of them is
// acknowledged on both sides.
double runtimeExchange(ConnectedRuntimes& pair, uint64_t round) {
  std::atomic<int> answered = 0;
  std::atomic<int> rejected = 0;
  std::promise<void> allAnswered;
  auto completion = [&](std::optional<SendRejection> rejection) {
    if (rejection) ++rejected;
    if (++answered == 2 * kPerSide) allAnswered.set_value();
  };
  const auto started = Clock::now();
  for (int index = 0; index < kPerSide; ++index) {
    const std::string suffix = std::to_string(round) + "." + std::to_string(index);
    pair.a->sendText(pair.bID, "from a " + suffix, std::nullopt, completion);
    pair.b->sendText(pair.aID, "from b " + suffix, std::nullopt, completion);
  }
  allAnswered.get_future().wait();
  if (rejected > 0) throw std::runtime_error("a message was refused");
  // Every send has been taken and shown: a later snapshot without queued rows is the end.
  const uint64_t aAfter = pair.a.snapshotCount();
  const uint64_t bAfter = pair.b.snapshotCount();
  auto drained = [](const RuntimeSnapshot& s) { return s.queuedMessageIDs.empty(); };
  if (!pair.a.waitFor(drained, aAfter - 1) || !pair.b.waitFor(drained, bAfter - 1)) {
    throw std::runtime_error("the messages were not acknowledged");
  }
  return secondsSince(started);
}

void BM_ChatBothSidesSending(benchmark::State& state) {
  ConnectedRuntimes pair;
  BarePair bare;
  double runtimeSeconds = 0;
  double bareSeconds = 0;
  uint64_t round = 0;
  for (auto _ : state) {
    double seconds = 0;
    try {
      seconds = runtimeExchange(pair, round++);
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      break;
    }
    state.SetIterationTime(seconds);
    runtimeSeconds += seconds;
    bareSeconds += bare.exchange(kPerSide, kPerSide);
  }
  const double messages = 2.0 * kPerSide * static_cast<double>(state.iterations());
  state.counters["runtime_msgs_per_s"] = messages / runtimeSeconds;
  state.counters["baseline_msgs_per_s"] = messages / bareSeconds;
  state.counters["baseline_to_runtime"] = bareSeconds / runtimeSeconds;
}
BENCHMARK(BM_ChatBothSidesSending)
    ->Iterations(4)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmorine::runtime::bench

BENCHMARK_MAIN();
