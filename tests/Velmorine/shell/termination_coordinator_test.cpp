// The quit state machine with steps the test plays: confirmation, shutdown, the deadline on a
// clock moved by hand.

#include "Velmorine/shell/termination_coordinator.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmorine::shell {
namespace {

class Termination : public ::testing::Test {
 protected:
  Termination() {
    TerminationCoordinator::Steps steps;
    steps.modelAlive = [this] { return modelAlive; };
    steps.hasWorkInProgress = [this] { return work; };
    steps.confirm = [this] {
      log.push_back("confirm " + std::string(rawValue(coordinator->state())));
      if (whileConfirming) whileConfirming();
      return confirmAnswer;
    };
    steps.cancelPreparation = [this] { log.push_back("cancelPreparation"); };
    steps.shutdown = [this](std::function<void()> completion) {
      log.push_back("shutdown");
      shutdowns.push_back(std::move(completion));
    };
    steps.after = [this](double seconds, std::function<void()> work) {
      timers.emplace(now + seconds, std::move(work));
    };
    steps.end = [this](TerminationEnd how) {
      log.push_back(how == TerminationEnd::shutDown ? "end shutDown" : "end deadline");
    };
    coordinator = std::make_unique<TerminationCoordinator>(std::move(steps));
  }

  void advance(double seconds) {
    now += seconds;
    while (!timers.empty() && timers.begin()->first <= now) {
      auto work = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      work();
    }
  }

  bool modelAlive = true;
  bool work = false;
  bool confirmAnswer = false;
  std::function<void()> whileConfirming;
  std::vector<std::string> log;
  std::vector<std::function<void()>> shutdowns;
  double now = 0;
  std::multimap<double, std::function<void()>> timers;
  std::unique_ptr<TerminationCoordinator> coordinator;
};

TEST_F(Termination, WithoutAModelTheApplicationEndsAtOnce) {
  modelAlive = false;
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::now);
  EXPECT_TRUE(log.empty());
}

TEST_F(Termination, WithoutWorkTheRuntimeShutsDownAndItsCompletionEndsTheApplication) {
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::later);
  EXPECT_EQ(log, (std::vector<std::string>{"cancelPreparation", "shutdown"}));
  EXPECT_EQ(coordinator->state(), TerminationCoordinator::State::cleaning);
  shutdowns[0]();
  EXPECT_EQ(log.back(), "end shutDown");
  EXPECT_EQ(coordinator->state(), TerminationCoordinator::State::finished);
  // The deadline finds it finished.
  advance(3.0);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::now);
}

TEST_F(Termination, AShutdownThatNeverCompletesEndsAtTheDeadline) {
  coordinator->shouldTerminate(false);
  advance(2.999);
  EXPECT_EQ(coordinator->state(), TerminationCoordinator::State::cleaning);
  advance(0.001);
  EXPECT_EQ(log.back(), "end deadline");
  shutdowns[0]();
  EXPECT_EQ(log.back(), "end deadline");
}

TEST_F(Termination, WorkAsksFirstAndKeepingTheApplicationAsksAgainNextTime) {
  work = true;
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::cancel);
  EXPECT_EQ(log, (std::vector<std::string>{"confirm confirming"}));
  EXPECT_EQ(coordinator->state(), TerminationCoordinator::State::idle);

  confirmAnswer = true;
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::later);
  EXPECT_EQ(log, (std::vector<std::string>{"confirm confirming", "confirm confirming",
                                           "cancelPreparation", "shutdown"}));
}

TEST_F(Termination, ASecondRequestWhileTheAlertIsOpenIsRefused) {
  work = true;
  confirmAnswer = true;
  std::optional<TerminationReply> second;
  whileConfirming = [&] { second = coordinator->shouldTerminate(false); };
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::later);
  EXPECT_EQ(second, TerminationReply::cancel);
  EXPECT_EQ(shutdowns.size(), 1u);
}

TEST_F(Termination, WhenTheSystemEndsNobodyIsAsked) {
  work = true;
  EXPECT_EQ(coordinator->shouldTerminate(true), TerminationReply::later);
  EXPECT_EQ(log, (std::vector<std::string>{"cancelPreparation", "shutdown"}));
}

TEST_F(Termination, ARequestWhileCleaningWaitsForTheShutdownUnderWay) {
  coordinator->shouldTerminate(false);
  EXPECT_EQ(coordinator->shouldTerminate(false), TerminationReply::later);
  EXPECT_EQ(coordinator->shouldTerminate(true), TerminationReply::later);
  EXPECT_EQ(shutdowns.size(), 1u);
  EXPECT_EQ(timers.size(), 1u);
}

}  // namespace
}  // namespace velmorine::shell
