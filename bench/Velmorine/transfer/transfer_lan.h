#pragma once

// Two runtimes, each in a network namespace of its own joined by a veth pair, and what the same
// bytes cost without the system (plain TCP with a write and an fsync of each file, sha256sum of
// the sources): shared by the transfer benchmarks. Included by one file of each benchmark
// program. Run them as root (they make the namespaces) from a folder on the disk to measure.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/local_store_error.h"
#include "Velmorine/transfer/content_preparation.h"
#include "platform/files/unique_fd.h"

extern char** environ;

namespace velmorine::transfer {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kLargeMiB = 1024;
constexpr std::size_t kSmallFile = 4096;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `body` on a thread inside namespace `ns`; threads it starts stay there.
void inNamespace(const std::string& ns, const std::function<void()>& body) {
  std::thread([&] {
    const platform::UniqueFd fd(::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::setns(fd.get(), CLONE_NEWNET) != 0) return;
    body();
  }).join();
}

std::vector<uint8_t> pattern(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

void writeWhole(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written <= 0) throw std::runtime_error("write");
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool readWhole(int fd, uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// A folder of `count` files of 4 KiB, synced (made once); the files.
std::vector<fs::path> smallFiles(const fs::path& folder, std::size_t count) {
  std::vector<fs::path> files;
  fs::create_directories(folder);
  for (std::size_t i = 0; i < count; ++i) {
    const fs::path path = folder / ("file-" + std::to_string(i));
    if (!fs::exists(path)) {
      const platform::UniqueFd fd(
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      const auto bytes = pattern(kSmallFile, static_cast<uint32_t>(i + 1));
      writeWhole(fd.get(), bytes.data(), bytes.size());
    }
    files.push_back(path);
  }
  ::sync();
  return files;
}

class MemoryKeychain final : public store::IdentityKeychain {
 public:
  std::optional<platform::KeychainData> load() override {
    std::lock_guard lock(mutex_);
    if (!item_) return std::nullopt;
    return platform::KeychainData(*item_);
  }
  void add(std::span<const uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (item_) throw store::LocalStoreError::keychain(-25299);
    item_.emplace(data.begin(), data.end());
  }

 private:
  std::mutex mutex_;
  std::optional<std::vector<uint8_t>> item_;
};

// One runtime in its namespace: snapshots as they arrive, and waits for a condition on them.
class Host {
 public:
  Host(const std::string& ns, fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
    inNamespace(ns, [&] {
      runtime::RuntimeEnvironment environment;
      environment.mainQueue = [this](std::function<void()> work) {
        {
          std::lock_guard lock(mutex_);
          main_.push_back(std::move(work));
        }
        changed_.notify_all();
      };
      auto send = runtime::sendOnSession;
      runtime_ = runtime::VelRuntime::create(
          folder_, std::make_shared<MemoryKeychain>(),
          std::make_shared<reminders::UnconfiguredReminderClient>(), network::makeDiscoveryService,
          true, send, send, std::move(environment));
      runtime_->setOnSnapshot([this](runtime::RuntimeSnapshot snapshot) {
        ++snapshots_;
        latest_ = std::move(snapshot);
        if (onSnapshot) onSnapshot(latest_);
      });
      runtime_->start();
      runtime_->setNetworkEnabled(true);
    });
  }
  ~Host() {
    bool done = false;
    runtime_->shutdown([&] { done = true; });
    until([&] { return done; }, std::chrono::seconds(60));
    runtime_.reset();
    drain();
  }

  runtime::VelRuntime& runtime() { return *runtime_; }
  const runtime::RuntimeSnapshot& latest() const { return latest_; }
  uint64_t snapshots() const { return snapshots_; }
  std::string id() const { return latest_.localID.value_or(""); }

  // Runs main-queue work on the calling thread until `done` holds.
  bool until(const std::function<bool()>& done,
             std::chrono::seconds patience = std::chrono::seconds(600)) {
    const auto deadline = Clock::now() + patience;
    while (!done()) {
      std::function<void()> next;
      {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return !main_.empty(); })) return false;
        next = std::move(main_.front());
        main_.pop_front();
      }
      next();
    }
    return true;
  }
  void drain() {
    until([&] {
      std::lock_guard lock(mutex_);
      return main_.empty();
    });
  }
  // The history's row changes so far, read on the runtime queue.
  int64_t historyChanges() {
    int64_t changes = 0;
    runtime_->queue().sync([&] {
      if (runtime_->history)
        changes = runtime_->history->queryInteger("SELECT total_changes()", {}).value_or(0);
    });
    return changes;
  }

  std::function<void(const runtime::RuntimeSnapshot&)> onSnapshot;

 private:
  fs::path folder_;
  std::shared_ptr<runtime::VelRuntime> runtime_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> main_;
  runtime::RuntimeSnapshot latest_;
  uint64_t snapshots_ = 0;
};

const RuntimeTransfer* transferNamed(const runtime::RuntimeSnapshot& snapshot,
                                     const std::function<bool(const RuntimeTransfer&)>& match) {
  for (const auto& transfer : snapshot.transfers) {
    if (match(transfer)) return &transfer;
  }
  return nullptr;
}

// Two namespaces on one veth pair, a runtime in each, connected; and the data in the working
// folder. Made once for the whole run.
class Pair {
 public:
  explicit Pair(const std::string& name = "transfer")
      : tag_("vbench" + std::to_string(::getpid())),
        root_(fs::current_path() / ("velmorine-" + name + "-bench")) {
    if (::geteuid() != 0) {
      why_ = "needs root for its network namespaces";
      return;
    }
    fs::remove_all(root_);
    fs::create_directories(root_ / "received");
    fs::create_directories(root_ / "plain");
    sh("ip netns del " + ns("a"));
    sh("ip netns del " + ns("b"));
    if (!sh("ip netns add " + ns("a")) || !sh("ip netns add " + ns("b")) ||
        !sh("ip -n " + ns("a") + " link add lan0 type veth peer name lan0 netns " + ns("b")) ||
        !sh("ip -n " + ns("a") + " addr add 10.216.0.1/24 brd + dev lan0") ||
        !sh("ip -n " + ns("b") + " addr add 10.216.0.2/24 brd + dev lan0") ||
        !sh("ip -n " + ns("a") + " link set lo up") ||
        !sh("ip -n " + ns("b") + " link set lo up") ||
        !sh("ip -n " + ns("a") + " link set lan0 up") ||
        !sh("ip -n " + ns("b") + " link set lan0 up")) {
      why_ = "cannot make network namespaces with iproute2";
      return;
    }
    a_ = std::make_unique<Host>(ns("a"), root_ / "home-a");
    b_ = std::make_unique<Host>(ns("b"), root_ / "home-b");
    const bool heard = a_->until(
        [&] {
          b_->drain();
          return !b_->id().empty() && peerOnline(a_->latest(), b_->id());
        },
        std::chrono::seconds(60));
    if (!heard) {
      why_ = "the runtimes never heard each other";
      return;
    }
    a_->runtime().connectPeer(b_->id());
    if (!a_->until(
            [&] {
              b_->drain();
              return peerLinked(a_->latest(), b_->id()) && peerLinked(b_->latest(), a_->id());
            },
            std::chrono::seconds(60))) {
      why_ = "the runtimes never connected";
      return;
    }
    // Every offer is accepted into the received folder as soon as it waits.
    b_->onSnapshot = [this](const runtime::RuntimeSnapshot& snapshot) {
      for (const auto& transfer : snapshot.transfers) {
        if (!transfer.outgoing && transfer.state == TransferState::pending &&
            accepted_.insert(transfer.id).second) {
          b_->runtime().acceptTransfer(transfer.id, root_ / "received");
          if (!pending_) pending_ = Clock::now();
        }
        if (!transfer.outgoing && transfer.bytes > 0 && !firstChunk_) firstChunk_ = Clock::now();
      }
    };
  }
  ~Pair() {
    // The receiver's last snapshots arrive while it shuts down, when b_ no longer holds it.
    if (b_) b_->onSnapshot = nullptr;
    b_.reset();
    a_.reset();
    sh("ip netns del " + ns("a"));
    sh("ip netns del " + ns("b"));
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static bool peerOnline(const runtime::RuntimeSnapshot& snapshot, const std::string& id) {
    for (const auto& peer : snapshot.peers) {
      if (peer.wireID == id && peer.online) return true;
    }
    return false;
  }
  static bool peerLinked(const runtime::RuntimeSnapshot& snapshot, const std::string& id) {
    for (const auto& peer : snapshot.peers) {
      if (peer.wireID == id && peer.safetyCode) return true;
    }
    return false;
  }

  const std::string& why() const { return why_; }
  std::string ns(const std::string& host) const { return tag_ + "-" + host; }
  const fs::path& root() const { return root_; }
  Host& a() { return *a_; }
  Host& b() { return *b_; }

  struct Sent {
    double seconds = 0;
    double toFirstChunk = 0;
    double toPending = 0;  // until the receiver shows the offer waiting for its decision
    uint64_t snapshotsA = 0, snapshotsB = 0;
    int64_t historyA = 0, historyB = 0;
  };

  // Offers a prepared batch from A, at once or through the attachment outbox, and waits for both
  // sides to commit.
  Sent send(const std::shared_ptr<PreparedBatch>& batch, bool throughOutbox = false) {
    Sent sent;
    const uint64_t snapshotsA = a_->snapshots(), snapshotsB = b_->snapshots();
    const int64_t historyA = a_->historyChanges(), historyB = b_->historyChanges();
    firstChunk_.reset();
    pending_.reset();
    std::string id;
    const auto start = Clock::now();
    if (throughOutbox) {
      std::string batchID = batch->id().to_string();
      a_->runtime().sendFiles(batch, b_->id(), [&, batchID](auto failure) {
        if (failure) throw std::runtime_error("the outbox refused the batch");
        id = batchID;
      });
    } else {
      a_->runtime().offerBatch(batch, b_->id(), [&](auto result) {
        if (result) id = *result;
      });
    }
    const bool committed = a_->until([&] {
      b_->drain();
      return !id.empty() && transferNamed(a_->latest(), [&](const RuntimeTransfer& transfer) {
                              return transfer.id == id &&
                                     transfer.state == TransferState::committed;
                            }) != nullptr;
    });
    if (!committed) throw std::runtime_error("the transfer never committed");
    sent.seconds = secondsSince(start);
    sent.toFirstChunk =
        firstChunk_ ? std::chrono::duration<double>(*firstChunk_ - start).count() : 0;
    sent.toPending = pending_ ? std::chrono::duration<double>(*pending_ - start).count() : 0;
    sent.snapshotsA = a_->snapshots() - snapshotsA;
    sent.snapshotsB = b_->snapshots() - snapshotsB;
    sent.historyA = a_->historyChanges() - historyA;
    sent.historyB = b_->historyChanges() - historyB;
    return sent;
  }

 private:
  std::string tag_;
  fs::path root_;
  std::string why_;
  std::unique_ptr<Host> a_;
  std::unique_ptr<Host> b_;
  std::set<std::string> accepted_;
  std::optional<Clock::time_point> firstChunk_;
  std::optional<Clock::time_point> pending_;
};

// Plain TCP from namespace A to B: each file's name and size, then its bytes; the receiver writes
// each with an fsync, then the folder's, and answers one byte. Seconds from the connect to the
// answer.
double plainTCP(Pair& pair, const std::vector<fs::path>& files, const fs::path& into) {
  fs::create_directories(into);
  int listener = -1;
  inNamespace(pair.ns("b"), [&] {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47213);
    ::inet_pton(AF_INET, "10.216.0.2", &address.sin_addr);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
      throw std::runtime_error("plain listener");
    }
  });
  std::thread receiver([&] {
    const platform::UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    std::vector<uint8_t> buffer(kMiB);
    uint32_t count = 0;
    readWhole(connection.get(), reinterpret_cast<uint8_t*>(&count), sizeof count);
    for (uint32_t i = 0; i < count; ++i) {
      uint16_t nameLength = 0;
      uint64_t size = 0;
      readWhole(connection.get(), reinterpret_cast<uint8_t*>(&nameLength), sizeof nameLength);
      std::string name(nameLength, '\0');
      readWhole(connection.get(), reinterpret_cast<uint8_t*>(name.data()), nameLength);
      readWhole(connection.get(), reinterpret_cast<uint8_t*>(&size), sizeof size);
      const platform::UniqueFd file(
          ::open((into / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      while (size > 0) {
        const std::size_t piece = std::min<uint64_t>(size, buffer.size());
        readWhole(connection.get(), buffer.data(), piece);
        writeWhole(file.get(), buffer.data(), piece);
        size -= piece;
      }
      ::fsync(file.get());
    }
    const platform::UniqueFd folder(::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ::fsync(folder.get());
    const uint8_t done = 1;
    writeWhole(connection.get(), &done, 1);
  });
  double seconds = 0;
  inNamespace(pair.ns("a"), [&] {
    const auto start = Clock::now();
    const platform::UniqueFd connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47213);
    ::inet_pton(AF_INET, "10.216.0.2", &address.sin_addr);
    if (::connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("plain connect");
    }
    std::vector<uint8_t> buffer(kMiB);
    const uint32_t count = static_cast<uint32_t>(files.size());
    writeWhole(connection.get(), reinterpret_cast<const uint8_t*>(&count), sizeof count);
    for (const auto& path : files) {
      const std::string name = path.filename().string();
      const uint16_t nameLength = static_cast<uint16_t>(name.size());
      uint64_t size = fs::file_size(path);
      writeWhole(connection.get(), reinterpret_cast<const uint8_t*>(&nameLength),
                 sizeof nameLength);
      writeWhole(connection.get(), reinterpret_cast<const uint8_t*>(name.data()), name.size());
      writeWhole(connection.get(), reinterpret_cast<const uint8_t*>(&size), sizeof size);
      const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      while (size > 0) {
        const std::size_t piece = std::min<uint64_t>(size, buffer.size());
        readWhole(file.get(), buffer.data(), piece);
        writeWhole(connection.get(), buffer.data(), piece);
        size -= piece;
      }
    }
    uint8_t done = 0;
    readWhole(connection.get(), &done, 1);
    seconds = secondsSince(start);
  });
  receiver.join();
  ::close(listener);
  return seconds;
}

// sha256sum over the files, its output thrown away.
[[maybe_unused]] double sha256sum(const std::vector<fs::path>& files) {
  std::vector<std::string> arguments{"sha256sum"};
  for (const auto& file : files) arguments.push_back(file.string());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "sha256sum", &actions, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot run sha256sum");
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return secondsSince(start);
}

// Reads the files once, so that both sides start from the page cache.
void warm(const std::vector<fs::path>& files) {
  std::vector<uint8_t> buffer(kMiB);
  for (const auto& path : files) {
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    while (::read(fd.get(), buffer.data(), buffer.size()) > 0) {
    }
  }
}

// Removes what one side wrote and flushes the removal before the other side runs.
void clearUntimed(const fs::path& folder) {
  for (const auto& item : fs::directory_iterator(folder)) fs::remove_all(item.path());
  ::sync();
}

Pair& pair(const std::string& name = "transfer") {
  static Pair instance(name);
  return instance;
}

std::shared_ptr<PreparedBatch> prepared(const fs::path& path) {
  ContentCancellation cancellation;
  return prepareBatch({ContentUrl::file(path, fs::is_directory(path))}, false, cancellation, {},
                      nullptr);
}

}  // namespace
}  // namespace velmorine::transfer
