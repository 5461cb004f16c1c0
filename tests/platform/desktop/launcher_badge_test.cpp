// The launcher badge as a dock on a private session bus sees it.

#include "platform/desktop/launcher_badge.h"

#include <gtest/gtest.h>

#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"

namespace velmorine::platform {
namespace {

using testing::BusPeer;

class BadgeOnBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
    dock = std::make_unique<BusPeer>("launcher", bus.address());
    ASSERT_TRUE(dock->start());
  }

  testing::PrivateBus bus;
  std::unique_ptr<BusPeer> dock;
};

struct BadgeCase {
  const char* name;
  std::optional<std::int64_t> count;
  std::int64_t shown;
  bool visible;
};

class BadgeCounts : public BadgeOnBus, public ::testing::WithParamInterface<BadgeCase> {};

TEST_P(BadgeCounts, ReachTheDockClampedToTheLimit) {
  LauncherBadge badge(bus.connect(), "org.example.Test");
  badge.show(GetParam().count);
  const auto updates = dock->awaitEvents("update", 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["uri"], "application://org.example.Test.desktop");
  EXPECT_EQ(updates[0]["count"], GetParam().shown);
  EXPECT_EQ(updates[0]["visible"], GetParam().visible);
}

INSTANTIATE_TEST_SUITE_P(Counts, BadgeCounts,
                         ::testing::Values(BadgeCase{"none", std::nullopt, 0, false},
                                           BadgeCase{"seven", 7, 7, true},
                                           BadgeCase{"limit", 1000, 1000, true},
                                           BadgeCase{"above", 5000, 1000, true},
                                           BadgeCase{"negative", -4, 0, true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(BadgeOnBus, AnUnchangedCountIsNotSentAgain) {
  LauncherBadge badge(bus.connect(), "org.example.Test");
  badge.show(3);
  badge.show(3);
  badge.show(std::nullopt);
  badge.show(std::nullopt);
  badge.show(3);
  const auto updates = dock->awaitEvents("update", 3);
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[1]["visible"], false);
  EXPECT_EQ(updates[2]["count"], 3);
}

}  // namespace
}  // namespace velmorine::platform
