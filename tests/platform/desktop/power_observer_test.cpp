// Sleep, wake and power-off from a scripted login manager on a private system bus, and the
// delay inhibitor the observer holds meanwhile.

#include "platform/desktop/power_observer.h"

#include <gtest/gtest.h>

#include <QTest>

#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"

namespace velmorine::platform {
namespace {

using testing::BusPeer;
using testing::Json;

class PowerOnBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
    logind = std::make_unique<BusPeer>("logind", bus.address());
    ASSERT_TRUE(logind->start());
    observer = std::make_unique<PowerObserver>(bus.connect(), "Velmorine", "Pausing");
    observer->onSleep = [this] { seen.push_back("sleep"); };
    observer->onWake = [this] { seen.push_back("wake"); };
    observer->onPowerOff = [this] { seen.push_back("powerOff"); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return observer->holdsInhibitor(); }, 20000));
  }

  // How many inhibitors the login manager sees held, once that is `expected` (or the last
  // answer when it never becomes so).
  int heldBecomes(int expected) {
    int held = -1;
    [[maybe_unused]] const bool reached = QTest::qWaitFor(
        [&] {
          const auto answer = logind->ask({{"op", "inhibitors"}}, "inhibitors");
          held = answer ? answer->value("held", -1) : -1;
          return held == expected;
        },
        20000);
    return held;
  }

  void announce(const char* op, bool start, size_t events) {
    logind->send({{"op", op}, {"start", start}});
    [[maybe_unused]] const bool heard =
        QTest::qWaitFor([&] { return seen.size() >= events; }, 20000);
  }

  testing::PrivateBus bus;
  std::unique_ptr<BusPeer> logind;
  std::unique_ptr<PowerObserver> observer;
  std::vector<std::string> seen;
};

TEST_F(PowerOnBus, TakesADelayInhibitorForSleepAndShutdown) {
  const auto asked = logind->events("inhibit");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0]["what"], "sleep:shutdown");
  EXPECT_EQ(asked[0]["mode"], "delay");
  EXPECT_EQ(asked[0]["who"], "Velmorine");
  EXPECT_EQ(heldBecomes(1), 1);
}

TEST_F(PowerOnBus, SleepReleasesTheInhibitorAfterItsHandlerAndWakeTakesItAgain) {
  announce("sleep", true, 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"sleep"}));
  EXPECT_EQ(heldBecomes(0), 0);
  EXPECT_FALSE(observer->holdsInhibitor());

  announce("sleep", false, 2);
  EXPECT_EQ(seen, (std::vector<std::string>{"sleep", "wake"}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return observer->holdsInhibitor(); }, 20000));
  EXPECT_EQ(heldBecomes(1), 1);
  EXPECT_EQ(logind->events("inhibit").size(), 2u);
}

TEST_F(PowerOnBus, PowerOffReleasesTheInhibitor) {
  announce("shutdown", true, 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"powerOff"}));
  EXPECT_EQ(heldBecomes(0), 0);
}

}  // namespace
}  // namespace velmorine::platform
