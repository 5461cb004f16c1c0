// The quit signals arrive in the main loop as ordinary calls.

#include "platform/desktop/quit_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <QTest>

namespace velmorine::platform {
namespace {

class QuitSignalCases : public ::testing::TestWithParam<int> {};

TEST_P(QuitSignalCases, ReachTheHandlerOnTheMainLoop) {
  // The test's main thread only: a signal sent to it stays pending there for the signalfd.
  blockQuitSignals();
  std::vector<int> received;
  QuitSignals signals([&](int number) { received.push_back(number); });
  ::pthread_kill(::pthread_self(), GetParam());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !received.empty(); }, 20000));
  EXPECT_EQ(received, (std::vector<int>{GetParam()}));
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignalCases, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& test) { return std::string(sigabbrev_np(test.param)); });

}  // namespace
}  // namespace velmorine::platform
