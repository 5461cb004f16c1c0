#pragma once

// A runtime in a test. Each one has its own data folder and an identity kept in memory; the
// runtimes of one test share a world: a hand-moved uptime clock (the runtime queue's timers
// fire when the test moves it), a wall clock, the main queue that the test drains, and a
// discovery link that hands each announcement to the other runtimes as if heard from
// 127.0.0.1, so that two runtimes in one process meet over real loopback TCP. Tests wait for
// a condition on what reached them (snapshots, diagnostics, completions) with a generous time
// limit, never for a fixed time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/local_store.h"
#include "native/protocol/ve_protocol.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime::testing {

using namespace std::chrono_literals;

// How long a test waits for something that should happen at once; only a broken runtime
// makes a test wait this long.
inline constexpr std::chrono::seconds kPatience{30};

// The identity item kept in memory; two runtimes given the same keychain are one device.
class MemoryIdentityKeychain final : public store::IdentityKeychain {
 public:
  std::optional<platform::KeychainData> load() override {
    std::lock_guard lock(mutex_);
    if (!item_) return std::nullopt;
    return platform::KeychainData(*item_);
  }
  void add(std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (item_) throw store::LocalStoreError::keychain(-25299);
    item_.emplace(data.begin(), data.end());
  }

 private:
  std::mutex mutex_;
  std::optional<std::vector<std::uint8_t>> item_;
};

// The interface's main queue as the test runs it: work waits until the test drains it on its
// own thread. Anything that reaches the test (main-queue work, a diagnostic) wakes a waiter.
class MainQueue {
 public:
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
      ++news_;
    }
    changed_.notify_all();
  }
  void notify() {
    {
      std::lock_guard lock(mutex_);
      ++news_;
    }
    changed_.notify_all();
  }
  // Runs the waiting work in order on the calling thread, also work that it posts.
  void drain() {
    while (true) {
      std::function<void()> next;
      {
        std::lock_guard lock(mutex_);
        if (work_.empty()) return;
        next = std::move(work_.front());
        work_.pop_front();
      }
      next();
    }
  }
  // Drains and tests `done` until it holds; between tries it waits for news, or for a short
  // while when the condition is on state that announces nothing. False after `patience`.
  bool waitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (true) {
      uint64_t seen;
      {
        std::lock_guard lock(mutex_);
        seen = news_;
      }
      drain();
      if (done()) return true;
      std::unique_lock lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      changed_.wait_until(lock, std::min(deadline, now + 10ms), [&] { return news_ != seen; });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> work_;
  uint64_t news_ = 0;
};

class FakeDiscovery;

// The shared medium of the fake discovery services.
class DiscoveryLink {
 public:
  network::DiscoveryFactory factory();

  // Every service made on the link, oldest first (gone ones as empty pointers).
  std::vector<std::shared_ptr<FakeDiscovery>> services() const;

  // Hands `datagram` to every running service but `sender`.
  void deliver(const FakeDiscovery* sender, const std::vector<uint8_t>& datagram);

 private:
  friend class FakeDiscovery;
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<FakeDiscovery>> made_;
};

// A discovery service that announces only when asked and hears only what the link or the
// test hands it.
class FakeDiscovery final : public network::DiscoveryService,
                            public std::enable_shared_from_this<FakeDiscovery> {
 public:
  FakeDiscovery(DiscoveryLink& link, platform::SerialQueue& queue) : link_(link), queue_(queue) {}

  void start() override {
    std::lock_guard lock(link_.mutex_);
    running_ = true;
  }
  void stop() override {
    std::lock_guard lock(link_.mutex_);
    running_ = false;
  }
  void sendAnnouncement() override {
    if (!running() || !makeAnnouncement) return;
    const auto datagram = makeAnnouncement();
    if (!datagram) return;
    {
      std::lock_guard lock(link_.mutex_);
      sent_.push_back(*datagram);
    }
    link_.deliver(this, *datagram);
  }

  bool running() const {
    std::lock_guard lock(link_.mutex_);
    return running_;
  }
  std::vector<std::vector<uint8_t>> sent() const {
    std::lock_guard lock(link_.mutex_);
    return sent_;
  }
  // Hands a datagram to the owner on its queue, as if heard from `host` on `interface`;
  // nothing once the service is stopped.
  void hear(std::vector<uint8_t> datagram, std::string host = "127.0.0.1",
            std::string interface = "lo") {
    std::lock_guard lock(link_.mutex_);
    postLocked(std::move(datagram), std::move(host), std::move(interface));
  }

 private:
  friend class DiscoveryLink;

  // With the link's lock held, so that a stopped service (whose queue may go) gets nothing.
  void postLocked(std::vector<uint8_t> datagram, std::string host, std::string interface) {
    if (!running_) return;
    queue_.async([weak = weak_from_this(), datagram = std::move(datagram), host = std::move(host),
                  interface = std::move(interface)] {
      auto self = weak.lock();
      if (self && self->running() && self->onDatagram) self->onDatagram(datagram, host, interface);
    });
  }

  DiscoveryLink& link_;
  platform::SerialQueue& queue_;
  bool running_ = false;
  std::vector<std::vector<uint8_t>> sent_;
};

inline network::DiscoveryFactory DiscoveryLink::factory() {
  return [this](platform::SerialQueue& queue) -> std::shared_ptr<network::DiscoveryService> {
    auto service = std::make_shared<FakeDiscovery>(*this, queue);
    std::lock_guard lock(mutex_);
    made_.push_back(service);
    return service;
  };
}

inline std::vector<std::shared_ptr<FakeDiscovery>> DiscoveryLink::services() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<FakeDiscovery>> result;
  for (const auto& weak : made_) result.push_back(weak.lock());
  return result;
}

inline void DiscoveryLink::deliver(const FakeDiscovery* sender,
                                   const std::vector<uint8_t>& datagram) {
  std::lock_guard lock(mutex_);
  for (const auto& weak : made_) {
    auto service = weak.lock();
    if (service && service.get() != sender) service->postLocked(datagram, "127.0.0.1", "lo");
  }
}

// What the runtimes of one test share.
struct RuntimeWorld {
  MainQueue main;
  std::shared_ptr<platform::ManualUptimeClock> clock =
      std::make_shared<platform::ManualUptimeClock>(1000.0);
  DiscoveryLink link;

  std::chrono::system_clock::time_point wallNow() const {
    std::lock_guard lock(wallMutex);
    return wall;
  }
  void setWall(std::chrono::system_clock::time_point time) {
    std::lock_guard lock(wallMutex);
    wall = time;
  }
  // Moves the uptime (and the wall clock with it).
  void advance(double seconds) {
    {
      std::lock_guard lock(wallMutex);
      wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(seconds));
    }
    clock->advance(seconds);
  }

  mutable std::mutex wallMutex;
  // 2026-01-01T00:00:00Z.
  std::chrono::system_clock::time_point wall{std::chrono::seconds(1767225600)};
};

struct RuntimeOptions {
  // The data folder; a fresh temporary one when empty.
  std::optional<std::filesystem::path> folder;
  std::shared_ptr<MemoryIdentityKeychain> keychain;
  // The unconfigured client when empty.
  std::shared_ptr<reminders::ReminderClient> reminders;
  std::optional<std::string> computerName = "Test Host";
  // Called at each point a staged receive passes (on the transfer engine's file queue).
  transfer::ReceiveCheckpoint receiveCheckpoint;

  RuntimeOptions& withFolder(std::filesystem::path path) {
    folder = std::move(path);
    return *this;
  }
  RuntimeOptions& withKeychain(std::shared_ptr<MemoryIdentityKeychain> shared) {
    keychain = std::move(shared);
    return *this;
  }
  RuntimeOptions& withReminders(std::shared_ptr<reminders::ReminderClient> client) {
    reminders = std::move(client);
    return *this;
  }
};

class TestRuntime {
 public:
  explicit TestRuntime(RuntimeWorld& world, RuntimeOptions options = {})
      : world_(world),
        keychain_(options.keychain ? options.keychain : std::make_shared<MemoryIdentityKeychain>()),
        state_(std::make_shared<Shared>()) {
    if (options.folder) {
      folder_ = *options.folder;
    } else {
      ownFolder_ = std::make_unique<velmorine::testing::TemporaryFolder>();
      folder_ = ownFolder_->path();
    }
    state_->computerName = options.computerName;
    auto reminders = options.reminders ? options.reminders
                                       : std::make_shared<reminders::UnconfiguredReminderClient>();
    RuntimeEnvironment environment;
    environment.mainQueue = [&main = world.main](std::function<void()> work) {
      main.post(std::move(work));
    };
    environment.uptime = world.clock;
    environment.wallClock = [&world] { return world.wallNow(); };
    environment.receive.checkpoint = options.receiveCheckpoint;
    environment.computerName = [state = state_] {
      std::lock_guard lock(state->mutex);
      return state->computerName;
    };
    runtime = VelRuntime::create(folder_, keychain_, reminders, world.link.factory(), true,
                                 sendOnSession, sendOnSession, std::move(environment));
    runtime->setOnSnapshot(
        [this](RuntimeSnapshot snapshot) { snapshots.push_back(std::move(snapshot)); });
    runtime->setOnDiagnostic([state = state_, &main = world.main](std::string code) {
      {
        std::lock_guard lock(state->mutex);
        state->diagnostics.push_back(std::move(code));
      }
      main.notify();
    });
  }

  ~TestRuntime() {
    if (runtime && !shutDown_) shutdown();
    // Snapshots still on the main queue find the runtime gone.
    runtime.reset();
    world_.main.drain();
  }

  TestRuntime(const TestRuntime&) = delete;
  TestRuntime& operator=(const TestRuntime&) = delete;

  VelRuntime* operator->() const { return runtime.get(); }
  const std::filesystem::path& folder() const { return folder_; }
  const std::shared_ptr<MemoryIdentityKeychain>& keychain() const { return keychain_; }

  // Starts the runtime and waits for the snapshot that ends the start.
  bool start() {
    const size_t before = snapshots.size();
    runtime->start();
    return world_.main.waitUntil([&] { return snapshots.size() > before; });
  }
  // Starts with networking on and waits until discovery runs.
  bool startNetworking() {
    if (!start()) return false;
    if (!latest().preferences.networkEnabled) runtime->setNetworkEnabled(true);
    // Discovery runs once the listener is ready; the snapshot saying so is published with it.
    if (!waitOnQueue([&] { return runtime->enabled && runtime->discovery != nullptr; })) {
      return false;
    }
    settle();
    return latest().status == "network.searching";
  }

  // Runs `work` on the runtime queue and gives its result.
  template <typename Work>
  auto onQueue(Work work) -> decltype(work()) {
    if constexpr (std::is_void_v<decltype(work())>) {
      runtime->queue().sync([&] { work(); });
    } else {
      std::optional<decltype(work())> result;
      runtime->queue().sync([&] { result.emplace(work()); });
      return std::move(*result);
    }
  }
  // Lets what the runtime queue holds run, then what it posted to the main queue.
  void settle() {
    runtime->queue().sync([] {});
    world_.main.drain();
  }

  const RuntimeSnapshot& latest() const { return snapshots.back(); }
  std::string id() const { return latest().localID.value_or(""); }

  bool waitForSnapshot(const std::function<bool(const RuntimeSnapshot&)>& condition) {
    return world_.main.waitUntil([&] { return !snapshots.empty() && condition(snapshots.back()); });
  }
  bool waitForDiagnostic(const std::string& code, size_t count = 1) {
    return world_.main.waitUntil([&] { return diagnosticCount(code) >= count; });
  }
  // Waits for a condition on runtime state that no snapshot announces.
  bool waitOnQueue(const std::function<bool()>& condition) {
    return world_.main.waitUntil([&] { return onQueue([&] { return condition(); }); });
  }

  std::vector<std::string> diagnostics() const {
    std::lock_guard lock(state_->mutex);
    return state_->diagnostics;
  }
  size_t diagnosticCount(const std::string& code) const {
    const auto all = diagnostics();
    return static_cast<size_t>(std::count(all.begin(), all.end(), code));
  }

  void setComputerName(std::optional<std::string> name) {
    std::lock_guard lock(state_->mutex);
    state_->computerName = std::move(name);
  }

  // The runtime's current discovery service, or none.
  std::shared_ptr<FakeDiscovery> discovery() {
    return onQueue([&] { return std::static_pointer_cast<FakeDiscovery>(runtime->discovery); });
  }
  // Sends one announcement now.
  void announce() {
    onQueue([&] { runtime->reannounce(); });
  }
  // The listener's port, 0 without networking.
  uint16_t port() {
    return onQueue([&] { return runtime->listener ? runtime->listener->port() : uint16_t{0}; });
  }

  // Shuts down and waits for the completion.
  bool shutdown() {
    bool done = false;
    runtime->shutdown([&done] { done = true; });
    shutDown_ = world_.main.waitUntil([&] { return done; });
    return shutDown_;
  }

  // Peer rows.
  static const RuntimePeer* peerIn(const RuntimeSnapshot& snapshot, const std::string& id) {
    for (const auto& peer : snapshot.peers) {
      if (peer.id == id || peer.wireID == id) return &peer;
    }
    return nullptr;
  }
  const RuntimePeer* peer(const std::string& id) const { return peerIn(latest(), id); }

  std::shared_ptr<VelRuntime> runtime;
  // Every snapshot delivered, oldest first.
  std::vector<RuntimeSnapshot> snapshots;

 private:
  struct Shared {
    std::mutex mutex;
    std::vector<std::string> diagnostics;
    std::optional<std::string> computerName;
  };

  RuntimeWorld& world_;
  std::unique_ptr<velmorine::testing::TemporaryFolder> ownFolder_;
  std::filesystem::path folder_;
  std::shared_ptr<MemoryIdentityKeychain> keychain_;
  std::shared_ptr<Shared> state_;
  bool shutDown_ = false;
};

// Replaces the store document with a folder, so that every later write of the store fails.
class BrokenStoreWrites {
 public:
  explicit BrokenStoreWrites(const std::filesystem::path& folder)
      : path_(folder / store::LocalStore::kDocumentName) {
    std::ifstream in(path_, std::ios::binary);
    saved_.assign(std::istreambuf_iterator<char>(in), {});
    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    std::ofstream(path_ / "keep") << "x";
  }
  ~BrokenStoreWrites() { mend(); }
  void mend() {
    if (mended_) return;
    mended_ = true;
    std::filesystem::remove_all(path_);
    std::ofstream(path_, std::ios::binary) << saved_;
  }

 private:
  std::filesystem::path path_;
  std::string saved_;
  bool mended_ = false;
};

// Both runtimes hear each other's announcement.
inline bool introduce(RuntimeWorld& world, TestRuntime& a, TestRuntime& b) {
  const std::string aID = a.id();
  const std::string bID = b.id();
  a.announce();
  b.announce();
  return world.main.waitUntil([&] { return a.peer(bID) && b.peer(aID); });
}

// `a` dials `b`; true once both hold an authenticated session with the other.
inline bool connectPair(RuntimeWorld& world, TestRuntime& a, TestRuntime& b) {
  if (!introduce(world, a, b)) return false;
  const std::string aID = a.id();
  const std::string bID = b.id();
  a->connectPeer(bID);
  return world.main.waitUntil([&] {
    const auto* ab = a.peer(bID);
    const auto* ba = b.peer(aID);
    return ab && ab->safetyCode && ba && ba->safetyCode;
  });
}

// A plain TCP client of a runtime's listener that never speaks: a session that stays in its
// handshake. `source` picks the loopback address it comes from.
class IdleClient {
 public:
  IdleClient(const std::string& source, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~IdleClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  IdleClient(const IdleClient&) = delete;
  IdleClient& operator=(const IdleClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  uint16_t localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }
  // Whether the runtime ended the connection, waiting for that at most `patience`.
  bool closedByPeer(std::chrono::milliseconds patience = kPatience) const {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(patience.count())) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_ = -1;
};

// A local port on which a connection is refused: bound, never listening, held until the end.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  uint16_t port() const { return port_; }

 protected:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A local port that takes connections into its backlog and never answers: a handshake there
// waits until its deadline.
class SilentPort : public RefusingPort {
 public:
  SilentPort() { ::listen(fd_, 16); }

  // The next connection from the backlog, or -1 when none comes in time; the caller closes it.
  int acceptOne(std::chrono::milliseconds patience = kPatience) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(patience.count())) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  // Waits for the dialler's first handshake bytes and answers them with bytes that are no
  // handshake at all.
  static bool answerWithNoise(int connection, std::chrono::milliseconds patience = kPatience) {
    pollfd entry{connection, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(patience.count())) <= 0) return false;
    std::vector<uint8_t> buffer(4096);
    if (::recv(connection, buffer.data(), buffer.size(), 0) <= 0) return false;
    std::vector<uint8_t> noise(512);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(0xa5 ^ (i * 31));
    return ::send(connection, noise.data(), noise.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(noise.size());
  }
};

// The announcement of `peer` (its identifier, key fingerprint and process nonce) with another
// port and sequence, as an impostor or a second route would send it.
inline std::vector<uint8_t> announcementLike(const VEAnnouncement& peer, uint64_t port,
                                             uint64_t sequence,
                                             std::optional<std::string> nonce = std::nullopt) {
  return *VEProtocol::discoveryWithID(peer.deviceID(), peer.displayName(), peer.fingerprint(),
                                      nonce.value_or(peer.nonce()), port, 15, sequence);
}

// The last announcement `runtime` sent, as `reader` (any other device) parses it.
inline std::optional<VEAnnouncement> lastAnnouncement(
    TestRuntime& runtime, const std::string& reader = "00000000-0000-4000-8000-0000000000aa") {
  const auto service = runtime.discovery();
  if (!service) return std::nullopt;
  const auto sent = service->sent();
  if (sent.empty()) return std::nullopt;
  return VEProtocol::parseDiscovery(sent.back(), reader);
}

}  // namespace velmorine::runtime::testing
