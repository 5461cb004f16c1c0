// Quitting the application, in a child process with the model on its real runtime (or on one
// that never finishes shutting down), the real quit alert answered by the test, the quit
// signals, and a clock the test moves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/harness/json_line_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

using velmorine::testing::Json;
using velmorine::testing::JsonLineProcess;

class QuitChild : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session.start()) << "dbus-daemon cannot run";
    ASSERT_TRUE(system.start());
  }

  // Starts the child, and with the real runtime (unless told not to start it) waits for its
  // first snapshot.
  void launch(bool stalled = false, bool start = true) {
    std::vector<std::string> arguments{VELMORINE_DESKTOP_QUIT_CHILD};
    if (stalled) arguments.push_back("stalled");
    child = std::make_unique<JsonLineProcess>(
        arguments, std::vector<std::string>{"XDG_DATA_HOME=" + home.path().string(),
                                            "DBUS_SESSION_BUS_ADDRESS=" + session.address(),
                                            "DBUS_SYSTEM_BUS_ADDRESS=" + system.address()});
    ASSERT_TRUE(child->launch());
    ASSERT_TRUE(event("ready"));
    if (stalled || !start) return;
    child->send({{"op", "start"}});
    ASSERT_TRUE(event("snapshot"));
  }

  std::optional<Json> event(const std::string& name, size_t from = 0) {
    return child->waitLine([&](const Json& line) { return line.value("event", "") == name; }, from);
  }
  // Sends a command and waits for the event it brings.
  std::optional<Json> ask(const Json& command, const std::string& answer) {
    const size_t from = child->mark();
    child->send(command);
    return event(answer, from);
  }
  std::vector<Json> all(const std::string& name) {
    std::vector<Json> found;
    for (const auto& line : child->lines()) {
      if (line.value("event", "") == name) found.push_back(line);
    }
    return found;
  }

  // Leaves a queued message to a peer that is never reachable.
  void seedQueuedMessage() {
    const auto folder = home.path() / "Velmorine";
    std::filesystem::create_directories(folder);
    auto history = runtime::testing::openSeedHistory(folder);
    runtime::testing::enqueueSeed(
        *history, runtime::testing::outgoingMessage(runtime::testing::newID(),
                                                    runtime::MessageDelivery::queued));
  }

  static bool exitedWithZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  // The data folder is the runtime's no more: its lock is free and its history intact.
  void expectReleasedAndIntact() {
    const auto folder = home.path() / "Velmorine";
    const int lock = ::open((folder / "instance.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    EXPECT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    ::close(lock);
    const auto check = velmorine::testing::commandOutput(
        "sqlite3 '" + (folder / runtime::testing::kHistoryFileName).string() +
        "' 'PRAGMA integrity_check'");
    ASSERT_TRUE(check);
    EXPECT_EQ(*check, "ok\n");
  }

  velmorine::testing::PrivateBus session;
  velmorine::testing::PrivateBus system;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<JsonLineProcess> child;
};

TEST_F(QuitChild, WithoutWorkItExitsAfterTheRuntimeShutDown) {
  launch();
  ASSERT_EQ(ask({{"op", "quit"}}, "reply").value_or(Json())["reply"], "later");
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  EXPECT_TRUE(event("exiting"));
  EXPECT_TRUE(all("alert").empty());
  expectReleasedAndIntact();
}

TEST_F(QuitChild, ARuntimeNeverStartedShutsDownAtOnce) {
  launch(false, false);
  ASSERT_EQ(ask({{"op", "quit"}}, "reply").value_or(Json())["reply"], "later");
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  EXPECT_TRUE(event("exiting"));
  EXPECT_FALSE(std::filesystem::exists(home.path() / "Velmorine" / "instance.lock"));
}

TEST_F(QuitChild, AQueuedMessageAsksFirstAndOnlyTheSecondButtonQuits) {
  seedQueuedMessage();
  launch();
  ASSERT_TRUE(child->waitLine([](const Json& line) { return line.value("work", false); }));

  const auto alert = ask({{"op", "quit"}}, "alert");
  ASSERT_TRUE(alert);
  EXPECT_EQ((*alert)["title"], "Quit Velmorine?") << alert->dump();
  EXPECT_EQ((*alert)["default"], "Cancel");
  EXPECT_EQ(ask({{"op", "click"}, {"role", "reject"}}, "reply").value_or(Json())["reply"],
            "cancel");
  EXPECT_EQ(ask({{"op", "state"}}, "state").value_or(Json())["state"], "idle");

  ASSERT_TRUE(ask({{"op", "quit"}}, "alert"));
  EXPECT_EQ(ask({{"op", "click"}, {"role", "accept"}}, "reply").value_or(Json())["reply"], "later");
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  EXPECT_TRUE(event("exiting"));
  EXPECT_EQ(all("alert").size(), 2u);
  expectReleasedAndIntact();
}

TEST_F(QuitChild, AShutdownThatNeverCompletesEndsAtTheDeadline) {
  launch(true);
  ASSERT_EQ(ask({{"op", "quit"}}, "reply").value_or(Json())["reply"], "later");
  child->send({{"op", "advance"}, {"seconds", 2.9}});
  EXPECT_EQ(ask({{"op", "state"}}, "state").value_or(Json())["state"], "cleaning");
  child->send({{"op", "advance"}, {"seconds", 0.1}});
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  // Ended at once: the event loop never returned.
  EXPECT_TRUE(all("exiting").empty());
}

TEST_F(QuitChild, ARequestWhileCleaningShutsDownOnce) {
  launch(true);
  ASSERT_EQ(ask({{"op", "quit"}}, "reply").value_or(Json())["reply"], "later");
  EXPECT_EQ(ask({{"op", "quit"}}, "reply").value_or(Json())["reply"], "later");
  child->signal(SIGTERM);
  std::optional<Json> state;
  for (int tries = 0; tries < 1000; ++tries) {
    state = ask({{"op", "state"}}, "state");
    if (!state || (*state)["systemEnding"] == true) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling, not ordering
  }
  ASSERT_TRUE(state);
  EXPECT_EQ((*state)["systemEnding"], true);
  EXPECT_EQ((*state)["state"], "cleaning");
  EXPECT_EQ((*state)["shutdowns"], 1);
  child->send({{"op", "advance"}, {"seconds", 3}});
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
}

struct SignalCase {
  const char* name;
  int signal;
};

class QuitSignals : public QuitChild, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(QuitSignals, EndTheApplicationWithWorkWithoutAnAlert) {
  seedQueuedMessage();
  launch();
  ASSERT_TRUE(child->waitLine([](const Json& line) { return line.value("work", false); }));
  child->signal(GetParam().signal);
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  EXPECT_TRUE(event("exiting"));
  EXPECT_TRUE(all("alert").empty());
  expectReleasedAndIntact();
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignals,
                         ::testing::Values(SignalCase{"term", SIGTERM}, SignalCase{"int", SIGINT},
                                           SignalCase{"hup", SIGHUP}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(QuitChild, ASignalWhileTheAlertIsOpenCountsAsConfirmed) {
  seedQueuedMessage();
  launch();
  ASSERT_TRUE(child->waitLine([](const Json& line) { return line.value("work", false); }));
  ASSERT_TRUE(ask({{"op", "quit"}}, "alert"));
  child->signal(SIGTERM);
  EXPECT_EQ(event("reply").value_or(Json())["reply"], "later");
  EXPECT_TRUE(exitedWithZero(child->waitExit()));
  EXPECT_TRUE(event("exiting"));
  expectReleasedAndIntact();
}

}  // namespace
}  // namespace velmorine::shell
