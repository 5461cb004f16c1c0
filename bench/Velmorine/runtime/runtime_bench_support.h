#pragma once

// What the runtime benchmarks share: runtimes on data folders of their own that meet over real
// loopback TCP through the tests' fake discovery link, a main queue on a thread of its own that
// keeps only the latest snapshot (as an interface would), and data folders filled with a large
// history written straight into the database in big transactions.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/runtime_message.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/receipt_digest.h"
#include "Velmorine/store/local_store.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime::bench {

using testing::DiscoveryLink;
using testing::FakeDiscovery;
using testing::MemoryIdentityKeychain;
using velmorine::testing::TemporaryFolder;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kHistoryFileName = "conversation-history-v2.sqlite";
// Nothing here should take long; only a broken runtime makes a benchmark wait this long.
inline constexpr std::chrono::seconds kPatience{120};

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A lower-case UUID text numbered by `group` and `number`, so that seeded rows are written in
// index order.
inline std::string numberedID(uint32_t group, uint64_t number) {
  char text[48];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012llx", group,
                static_cast<unsigned long long>(number & 0xffffffffffffULL));
  return text;
}

// The runtimes of one benchmark share the hand-moved uptime (nothing moves it, so no timer
// fires and every heard route stays fresh), a fixed wall clock, the discovery link and the
// interface's main queue.
struct BenchWorld {
  std::shared_ptr<platform::ManualUptimeClock> clock =
      std::make_shared<platform::ManualUptimeClock>(1000.0);
  DiscoveryLink link;
  platform::SerialQueue main{"bench.main"};
};

// One runtime on a folder. Snapshots land on the world's main queue, where only the latest is
// kept; waiters test a condition on it each time one arrives.
class BenchRuntime {
 public:
  BenchRuntime(BenchWorld& world, std::filesystem::path folder,
               std::shared_ptr<MemoryIdentityKeychain> keychain)
      : world_(world), state_(std::make_shared<State>()) {
    RuntimeEnvironment environment;
    environment.mainQueue = [&main = world.main](std::function<void()> work) {
      main.async(std::move(work));
    };
    environment.uptime = world.clock;
    environment.wallClock = [] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(1767225600));
    };
    environment.computerName = [] { return std::optional<std::string>("Bench Host"); };
    runtime = VelRuntime::create(std::move(folder), std::move(keychain),
                                 std::make_shared<reminders::UnconfiguredReminderClient>(),
                                 world.link.factory(), true, sendOnSession, sendOnSession,
                                 std::move(environment));
    runtime->setOnSnapshot([state = state_](RuntimeSnapshot snapshot) {
      std::function<void(const RuntimeSnapshot&)> observer;
      {
        std::lock_guard lock(state->mutex);
        state->latest = std::move(snapshot);
        ++state->count;
        observer = state->observer;
      }
      if (observer) observer(*state->latest);
      state->changed.notify_all();
    });
  }

  ~BenchRuntime() {
    if (runtime) {
      std::promise<void> done;
      runtime->shutdown([&done] { done.set_value(); });
      done.get_future().wait_for(kPatience);
      runtime.reset();
    }
    // Snapshots still on the main queue find the runtime gone.
    world_.main.sync([] {});
  }

  BenchRuntime(const BenchRuntime&) = delete;
  BenchRuntime& operator=(const BenchRuntime&) = delete;

  VelRuntime* operator->() const { return runtime.get(); }

  // Lets what the main queue holds run.
  void syncMain() {
    world_.main.sync([] {});
  }

  uint64_t snapshotCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->count;
  }

  // Waits until a snapshot later than the `after`th holds `condition` (tested on the latest).
  bool waitFor(const std::function<bool(const RuntimeSnapshot&)>& condition, uint64_t after = 0) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, kPatience, [&] {
      return state_->count > after && state_->latest && condition(*state_->latest);
    });
  }

  // Runs on the main queue with every snapshot, after it became the latest.
  void setObserver(std::function<void(const RuntimeSnapshot&)> observer) {
    std::lock_guard lock(state_->mutex);
    state_->observer = std::move(observer);
  }

  // Reads the latest snapshot under the lock.
  template <typename Read>
  auto withLatest(Read read) const {
    std::lock_guard lock(state_->mutex);
    return read(*state_->latest);
  }

  // Starts and waits for the snapshot that ends the start; gives the seconds it took.
  double start() {
    const uint64_t before = snapshotCount();
    const auto started = Clock::now();
    runtime->start();
    if (!waitFor([](const RuntimeSnapshot&) { return true; }, before)) {
      throw std::runtime_error("the runtime did not start");
    }
    return secondsSince(started);
  }

  // Starts with networking on and waits until discovery runs.
  void startNetworking() {
    start();
    runtime->setNetworkEnabled(true);
    if (!waitFor([](const RuntimeSnapshot& snapshot) {
          return snapshot.status == "network.searching";
        })) {
      throw std::runtime_error("networking did not start");
    }
  }

  std::string id() const {
    return withLatest(
        [](const RuntimeSnapshot& snapshot) { return snapshot.localID.value_or(""); });
  }

  std::shared_ptr<FakeDiscovery> discovery() {
    std::shared_ptr<FakeDiscovery> found;
    runtime->queue().sync(
        [&] { found = std::static_pointer_cast<FakeDiscovery>(runtime->discovery); });
    return found;
  }

  void announce() {
    runtime->queue().sync([&] { runtime->reannounce(); });
  }

  static const RuntimePeer* peerIn(const RuntimeSnapshot& snapshot, const std::string& id) {
    for (const auto& peer : snapshot.peers) {
      if (peer.id == id || peer.wireID == id) return &peer;
    }
    return nullptr;
  }

  std::shared_ptr<VelRuntime> runtime;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<RuntimeSnapshot> latest;
    uint64_t count = 0;
    std::function<void(const RuntimeSnapshot&)> observer;
  };

  BenchWorld& world_;
  std::shared_ptr<State> state_;
};

// Both runtimes hear each other.
inline void introduce(BenchRuntime& a, BenchRuntime& b) {
  const std::string aID = a.id();
  const std::string bID = b.id();
  a.announce();
  b.announce();
  if (!a.waitFor([&](const RuntimeSnapshot& s) { return BenchRuntime::peerIn(s, bID); }) ||
      !b.waitFor([&](const RuntimeSnapshot& s) { return BenchRuntime::peerIn(s, aID); })) {
    throw std::runtime_error("the runtimes did not hear each other");
  }
}

// Whether `snapshot` shows an admitted session with `peer` (the safety code is shown only then).
inline bool admitted(const RuntimeSnapshot& snapshot, const std::string& peer) {
  const auto* row = BenchRuntime::peerIn(snapshot, peer);
  return row && row->safetyCode.has_value();
}

// `a` dials `b` and both wait for the admitted session.
inline void connectPair(BenchRuntime& a, BenchRuntime& b) {
  introduce(a, b);
  const std::string aID = a.id();
  const std::string bID = b.id();
  a->connectPeer(bID);
  if (!a.waitFor([&](const RuntimeSnapshot& s) { return admitted(s, bID); }) ||
      !b.waitFor([&](const RuntimeSnapshot& s) { return admitted(s, aID); })) {
    throw std::runtime_error("the runtimes did not connect");
  }
}

// ---- Seeded data folders ----

// Changes the store document of a folder no runtime holds.
inline void seedStore(const std::filesystem::path& folder,
                      const store::LocalStore::Change& change) {
  store::LocalStore local(folder);
  local.update(change);
}

// A statement of a seeding connection, reset after every row.
class SeedStatement {
 public:
  SeedStatement(sqlite3* database, const char* sql) {
    if (sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(database));
    }
  }
  ~SeedStatement() { sqlite3_finalize(statement_); }
  SeedStatement(const SeedStatement&) = delete;
  SeedStatement& operator=(const SeedStatement&) = delete;

  SeedStatement& text(int position, const std::string& value) {
    sqlite3_bind_text(statement_, position, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  SeedStatement& blob(int position, std::span<const uint8_t> value) {
    sqlite3_bind_blob(statement_, position, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  SeedStatement& integer(int position, int64_t value) {
    sqlite3_bind_int64(statement_, position, value);
    return *this;
  }
  void run() {
    if (sqlite3_step(statement_) != SQLITE_DONE) {
      throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(statement_)));
    }
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// One message row of a seeded history.
struct SeedMessage {
  std::string contact;
  bool outgoing = true;
};

// Writes `count` settled messages into the history file of `folder`, in transactions of 50,000
// rows: an outgoing one has its outbox row delivered, as a message the peer acknowledged; an
// incoming one has its receipt, as one stored on arrival. `messageAt(n)` picks the n-th row's
// contact and direction; `peerKey` is the key each outbox row and receipt names.
inline void seedHistory(const std::filesystem::path& folder, int64_t count,
                        const std::function<SeedMessage(int64_t)>& messageAt,
                        const std::vector<uint8_t>& peerKey) {
  // The history makes its schema; the rows then go in straight through SQLite.
  { store::ConversationHistory schema(folder / kHistoryFileName); }
  sqlite3* database = nullptr;
  if (sqlite3_open((folder / kHistoryFileName).c_str(), &database) != SQLITE_OK) {
    throw std::runtime_error("cannot open the seeded history");
  }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> holder(database, sqlite3_close);
  // Nothing of the seed needs to survive a crash, and the indexes fit in a large cache.
  for (const char* pragma :
       {"PRAGMA synchronous=OFF", "PRAGMA journal_mode=OFF", "PRAGMA cache_size=-1048576"}) {
    sqlite3_exec(database, pragma, nullptr, nullptr, nullptr);
  }
  {
    SeedStatement record(database,
                         "INSERT INTO records(kind,peer,id,payload,unsettled,receipt) "
                         "VALUES('message',?,?,?,0,?)");
    SeedStatement outbox(database,
                         "INSERT INTO message_outbox(seq,recipient_key,epoch,state,attempts) "
                         "VALUES(?,?,0,4,1)");
    SeedStatement receipt(database,
                          "INSERT INTO message_receipts(peer,id,digest,sender_key,seq) "
                          "VALUES(?,?,?,?,?)");
    for (int64_t number = 0; number < count; ++number) {
      if (number % 50000 == 0) sqlite3_exec(database, "BEGIN", nullptr, nullptr, nullptr);
      const SeedMessage seed = messageAt(number);
      RuntimeMessage message;
      message.id = numberedID(0x5eed0000, static_cast<uint64_t>(number));
      message.frameID = seed.outgoing ? numberedID(0xf4a30000, static_cast<uint64_t>(number)) : "";
      message.peerID = seed.contact;
      message.contactID = seed.contact;
      message.text = "message number " + std::to_string(number);
      message.outgoing = seed.outgoing;
      message.date = store::Date{800000000.0 + static_cast<double>(number)};
      message.delivery = seed.outgoing ? MessageDelivery::acknowledged : MessageDelivery::received;
      const auto payload = encodeRuntimeMessage(message);
      const std::span<const uint8_t> text(reinterpret_cast<const uint8_t*>(message.text.data()),
                                          message.text.size());
      record.text(1, seed.contact).text(2, message.id).blob(3, payload);
      if (!seed.outgoing) record.blob(4, text);
      record.run();
      const int64_t sequence = sqlite3_last_insert_rowid(database);
      if (seed.outgoing) {
        outbox.integer(1, sequence).blob(2, peerKey).run();
      } else {
        const auto digest = store::history::receiptDigest(message.text);
        receipt.text(1, seed.contact)
            .text(2, message.id)
            .blob(3, digest)
            .blob(4, peerKey)
            .integer(5, sequence)
            .run();
      }
      if (number % 50000 == 49999 || number + 1 == count) {
        sqlite3_exec(database, "COMMIT", nullptr, nullptr, nullptr);
      }
    }
  }
  // The seed reaches the disk now, not in the first durable commit of a runtime under test.
  const int file = ::open((folder / kHistoryFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0 || ::fsync(file) != 0) throw std::runtime_error("cannot flush the seeded history");
  ::close(file);
}

// A data folder whose history was seeded once per process: benchmarks and their repetitions
// reuse it with the same identity.
struct SeededFolder {
  TemporaryFolder folder;
  std::shared_ptr<MemoryIdentityKeychain> keychain = std::make_shared<MemoryIdentityKeychain>();
  double seedSeconds = 0;
};

}  // namespace velmorine::runtime::bench
