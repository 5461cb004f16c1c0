// The lifecycle's cost where the user would feel it.
//
// Applying a snapshot with 1,000 new messages from 50 peers with notifications on (the
// lifecycle posts to a scripted notification server on a private bus) beside the same with
// them off; the Notify calls that reach the server for one such snapshot are counted, and the
// time from the end of an apply until its Notify calls were answered is shown apart.
//
// A quit request to the end of the event loop with 1,000 queued messages (the alert answered at
// once) beside the runtime's shutdown alone on the same data.
//
// The ratios are printed after the runs.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "bench/Velmorine/workspace/idle_workspace.h"
#include "platform/desktop/desktop_notifications.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

using testing::BusPeer;

using workspace::bench::IdleRuntime;
using workspace::bench::NoAttachments;

class NoPush final : public PushRegistration {
 public:
  void setDesired(bool, std::string) override {}
  void disable() override {}
  void contactForRoute(std::string, std::function<void(std::optional<std::string>)> done) override {
    done(std::nullopt);
  }
};

class Confirmed final : public QuitConfirmation {
 public:
  bool ask(const std::string&) override { return true; }
  void confirmOpenAlert() override {}
};

// Runs the event loop until `done` holds, waking for each event rather than polling.
void runUntil(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

workspace::AttachmentPreparationFactory noAttachments() {
  return [](std::optional<std::string>) { return std::make_shared<NoAttachments>(); };
}

// The private buses and the notification server, shared by every run.
struct Desktop {
  Desktop() {
    ready = session.start() && system.start();
    if (!ready) return;
    server = std::make_unique<BusPeer>("notifications", session.address());
    ready = server->start();
    sessionBus.emplace(session.connect());
    systemBus.emplace(system.connect());
  }

  DesktopLifecycle::Environment environment(std::function<void()> ended) {
    DesktopLifecycle::Environment environment(*sessionBus, *systemBus);
    environment.productIdentifier = "org.example.Bench";
    environment.push = std::make_shared<NoPush>();
    environment.confirmation = std::make_shared<Confirmed>();
    environment.text = [](std::string_view key, std::string_view) { return std::string(key); };
    environment.preferredLanguages = [] { return std::vector<std::string>{"en"}; };
    environment.quitEventLoop = ended;
    environment.endProcess = ended;
    return environment;
  }

  testing::PrivateBus session;
  testing::PrivateBus system;
  std::unique_ptr<BusPeer> server;
  std::optional<QDBusConnection> sessionBus;
  std::optional<QDBusConnection> systemBus;
  bool ready = false;
};

Desktop& desktop() {
  static Desktop shared;
  return shared;
}

// Two snapshots of 50 peers with 20 incoming messages each and no message in common: each
// applied after the other brings 1,000 new messages.
std::pair<std::shared_ptr<const runtime::RuntimeSnapshot>,
          std::shared_ptr<const runtime::RuntimeSnapshot>>
alternatingSnapshots(bool notifications) {
  std::vector<runtime::RuntimePeer> peers;
  for (int i = 0; i < 50; ++i) {
    runtime::RuntimePeer peer;
    peer.id = core::Uuid::random().to_string();
    peer.contactID = peer.id;
    peer.wireID = core::Uuid::random().to_string();
    peer.name = "Peer " + std::to_string(i);
    peer.online = true;
    peers.push_back(std::move(peer));
  }
  auto make = [&] {
    auto snapshot = std::make_shared<runtime::RuntimeSnapshot>();
    snapshot->status = "network.searching";
    snapshot->enabled = true;
    snapshot->peers = peers;
    snapshot->preferences.notificationsEnabled = notifications;
    for (int i = 0; i < 1000; ++i) {
      const auto& peer = peers[static_cast<std::size_t>(i % 50)];
      runtime::RuntimeMessage message;
      message.id = core::Uuid::random().to_string();
      message.peerID = peer.wireID;
      message.contactID = peer.id;
      message.text = "message " + std::to_string(i);
      message.date = store::Date{800000000.0 + i};
      message.delivery = runtime::MessageDelivery::received;
      snapshot->messages.push_back(std::move(message));
    }
    return std::shared_ptr<const runtime::RuntimeSnapshot>(std::move(snapshot));
  };
  return {make(), make()};
}

void applyManyMessages(benchmark::State& state, bool notifications, bool noBus = false) {
  auto& shared = desktop();
  if (!shared.ready) {
    state.SkipWithError("dbus-daemon cannot run");
    return;
  }
  workspace::WorkspaceModel::Replacements replacements;
  replacements.runtime = std::make_shared<IdleRuntime>();
  workspace::WorkspaceModel model(noAttachments(), std::move(replacements));
  auto environment = shared.environment([] {});
  if (noBus) environment.sessionBus = QDBusConnection("none");
  DesktopLifecycle lifecycle(std::move(environment));
  lifecycle.attach(model);
  lifecycle.applicationStateChanged(Qt::ApplicationInactive);
  const auto [first, second] = alternatingSnapshots(notifications);
  // Until every notice of the last snapshot was posted, sent and answered.
  auto settle = [&] {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    runUntil([&] { return lifecycle.notifications().unanswered() == 0; });
  };

  // One snapshot alone: how many Notify calls reach the server for it.
  settle();
  const size_t before = shared.server->mark();
  model.apply(first);
  settle();
  // The server's answer to a command comes after every line it printed before.
  shared.server->ask({{"op", "stall"}, {"on", false}}, "stalled");
  state.counters["notify_per_snapshot"] =
      static_cast<double>(shared.server->events("notify", before).size());

  // The apply is timed. What follows it on the event loop (posting the notices, the Notify
  // calls going out on the bus's own thread, their answers coming back) is timed apart, to its
  // end, so that no apply runs beside the bus traffic of the one before.
  bool flip = false;
  double after = 0;
  for (auto _ : state) {
    model.apply(flip ? first : second);
    flip = !flip;
    state.PauseTiming();
    const auto start = std::chrono::steady_clock::now();
    settle();
    after +=
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    state.ResumeTiming();
  }
  state.counters["after_apply_us"] = after / static_cast<double>(state.iterations());
}

void BM_ApplyNotificationsOn(benchmark::State& state) { applyManyMessages(state, true); }
void BM_ApplyNotificationsOff(benchmark::State& state) { applyManyMessages(state, false); }
// The same with a session bus that is gone: the hooks' own cost, without the caches the bus
// traffic after each snapshot leaves cold.
void BM_ApplyNotificationsOnWithoutBus(benchmark::State& state) {
  applyManyMessages(state, true, true);
}

// A data folder with 1,000 queued messages to 50 contacts, copied for every run.
const std::filesystem::path& queuedTemplate() {
  static testing::TemporaryFolder folder;
  static const bool seeded = [] {
    const auto data = folder.path() / "Velmorine";
    std::filesystem::create_directories(data);
    auto history = runtime::testing::openSeedHistory(data);
    std::vector<std::string> contacts;
    for (int i = 0; i < 50; ++i) contacts.push_back(runtime::testing::newID());
    for (int i = 0; i < 1000; ++i) {
      const auto message = runtime::testing::outgoingMessage(
          contacts[static_cast<std::size_t>(i % 50)], runtime::MessageDelivery::queued);
      history->enqueue(runtime::testing::recordOf(message), runtime::testing::peerKey(),
                       history->epoch(message.contactID), std::nullopt);
    }
    return true;
  }();
  (void)seeded;
  return folder.path();
}

// Runs `measured` on a model over its own runtime on a fresh copy of the queued data, once
// the runtime has shown the queued work; times only `measured` until `done` holds.
void onQueuedData(benchmark::State& state,
                  const std::function<void(workspace::WorkspaceModel&, DesktopLifecycle&,
                                           bool& done)>& measured) {
  auto& shared = desktop();
  if (!shared.ready) {
    state.SkipWithError("dbus-daemon cannot run");
    return;
  }
  for (auto _ : state) {
    testing::TemporaryFolder home;
    std::filesystem::copy(queuedTemplate(), home.path(), std::filesystem::copy_options::recursive);
    ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    bool done = false;
    {
      workspace::WorkspaceModel model(noAttachments());
      DesktopLifecycle lifecycle(shared.environment([&done] { done = true; }));
      lifecycle.attach(model);
      model.startRuntime()();
      if (!QTest::qWaitFor([&] { return model.hasWorkInProgress(); }, 60000)) {
        state.SkipWithError("the queued messages never showed");
        return;
      }
      const auto start = std::chrono::steady_clock::now();
      measured(model, lifecycle, done);
      runUntil([&] { return done; });
      const auto elapsed = std::chrono::steady_clock::now() - start;
      state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
  }
}

void BM_QuitToExit(benchmark::State& state) {
  onQueuedData(state, [](workspace::WorkspaceModel&, DesktopLifecycle& lifecycle, bool&) {
    lifecycle.requestQuit();
  });
}

void BM_RuntimeShutdownAlone(benchmark::State& state) {
  onQueuedData(state, [](workspace::WorkspaceModel& model, DesktopLifecycle&, bool& done) {
    model.runtime().shutdown([&done] { done = true; });
  });
}

BENCHMARK(BM_ApplyNotificationsOn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ApplyNotificationsOff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ApplyNotificationsOnWithoutBus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QuitToExit)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuntimeShutdownAlone)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

// Prints each measured time over its reference's after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_ApplyNotificationsOn", "BM_ApplyNotificationsOff"},
        {"BM_ApplyNotificationsOnWithoutBus", "BM_ApplyNotificationsOff"},
        {"BM_QuitToExit", "BM_RuntimeShutdownAlone"}};
    for (const auto& [measured, reference] : pairs) {
      if (times_[reference] > 0) {
        GetOutputStream() << measured << " / " << reference << " = "
                          << times_[measured] / times_[reference] << "\n";
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace velmorine::shell

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  velmorine::shell::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
