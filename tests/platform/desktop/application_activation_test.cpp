// Another process activating the program through org.freedesktop.Application.

#include "platform/desktop/application_activation.h"

#include <gtest/gtest.h>

#include <QTest>

#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"

namespace velmorine::platform {
namespace {

TEST(ApplicationActivation, AnotherProcessActivatesTheProgramOnItsName) {
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
  auto connection = bus.connect();
  int activations = 0;
  ApplicationActivation activation(connection, "org.example.Test-App", [&] { ++activations; });
  ASSERT_TRUE(activation.exported());
  EXPECT_EQ(activation.path(), "/org/example/Test_App");
  // The program's entry claims the name.
  ASSERT_TRUE(connection.registerService("org.example.Test-App"));

  testing::BusPeer other("activate", bus.address(), {"org.example.Test-App"});
  ASSERT_TRUE(other.launch());
  const auto done = other.awaitEvents("activated", 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]["ok"], true) << done[0].dump();
  EXPECT_EQ(activations, 1);
}

}  // namespace
}  // namespace velmorine::platform
