#include "platform/net/interfaces.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <future>
#include <memory>

#include "platform/net/endpoint.h"
#include "platform/net/interface_monitor.h"
#include "tests/platform/net/private_network.h"

namespace velmorine::platform {
namespace {

using velmorine::testing::in_private_network;
using velmorine::testing::ip;

TEST(Interfaces, ListsIpv4AddressesWithFlagsIndexAndBroadcast_NeedsRoot) {
  std::string why;
  const bool ran = in_private_network(
      [&] {
        ASSERT_TRUE(ip("link set lo up"));
        ASSERT_TRUE(ip("link add vm0 type veth peer name vm1"));
        ASSERT_TRUE(ip("addr add 10.77.0.1/24 brd + dev vm0"));
        // A labelled address is listed under its label, with its device's index.
        ASSERT_TRUE(ip("addr add 10.77.1.1/24 label vm0:1 dev vm0"));
        ASSERT_TRUE(ip("link set vm0 up"));
        std::error_code error;
        const auto entries = ipv4_interface_addresses(error);
        ASSERT_FALSE(error);
        std::vector<std::string> seen;
        for (const auto& entry : entries) {
          seen.push_back(entry.name + " " + ipv4_text(entry.address));
          if (entry.name == "lo") {
            EXPECT_NE(entry.flags & IFF_LOOPBACK, 0u);
          } else {
            EXPECT_EQ(entry.index, if_nametoindex("vm0"));
            EXPECT_NE(entry.flags & IFF_MULTICAST, 0u);
          }
        }
        EXPECT_EQ(seen,
                  (std::vector<std::string>{"lo 127.0.0.1", "vm0 10.77.0.1", "vm0:1 10.77.1.1"}));
        ASSERT_EQ(entries.size(), 3u);
        ASSERT_TRUE(entries[1].broadcast);
        EXPECT_EQ(ipv4_text(*entries[1].broadcast), "10.77.0.255");
        EXPECT_EQ(interface_index_of(*parse_ipv4("10.77.1.1")), if_nametoindex("vm0"));
        EXPECT_FALSE(interface_index_of(*parse_ipv4("10.77.9.9")));
      },
      why);
  if (!ran) GTEST_SKIP() << why;
}

TEST(InterfaceMonitor, ReportsANewAddress_NeedsRoot) {
  std::string why;
  const bool ran = in_private_network(
      [&] {
        ASSERT_TRUE(ip("link add vm0 type veth peer name vm1"));
        SerialQueue queue("test.monitor");
        std::unique_ptr<InterfaceMonitor> monitor;
        std::promise<void> changed;
        auto once = std::make_shared<bool>(false);
        queue.sync([&] {
          std::error_code error;
          monitor = InterfaceMonitor::open(
              queue,
              [&, once] {
                if (*once) return;
                *once = true;
                changed.set_value();
              },
              error);
          ASSERT_TRUE(monitor) << error.message();
        });
        ASSERT_TRUE(ip("addr add 10.77.0.1/24 dev vm0"));
        EXPECT_EQ(changed.get_future().wait_for(std::chrono::seconds(30)),
                  std::future_status::ready);
        queue.sync([&] { monitor.reset(); });
      },
      why);
  if (!ran) GTEST_SKIP() << why;
}

TEST(Endpoint, Ipv4TextRoundTrip) {
  EXPECT_EQ(ipv4_text(*parse_ipv4("192.0.2.7")), "192.0.2.7");
  EXPECT_FALSE(parse_ipv4("192.0.2"));
  Endpoint v6{asio::ip::make_address("::1"), 9};
  EXPECT_FALSE(v6.ipv4());
  Endpoint mapped{asio::ip::make_address("::ffff:192.0.2.7"), 9};
  EXPECT_EQ(mapped.ipv4(), parse_ipv4("192.0.2.7"));
}

}  // namespace
}  // namespace velmorine::platform
