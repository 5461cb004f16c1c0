#pragma once

// The system's IPv4 interface addresses, as getifaddrs lists them.

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace velmorine::platform {

struct InterfaceAddress {
  std::string name;
  // if_nametoindex of the name (for a labelled address such as "eth0:1", its device's index);
  // 0 when the name has no index
  uint32_t index = 0;
  unsigned flags = 0;    // IFF_UP, IFF_RUNNING, IFF_MULTICAST, IFF_LOOPBACK, ...
  uint32_t address = 0;  // network byte order
  // Present when IFF_BROADCAST is set and the entry carries a broadcast address.
  std::optional<uint32_t> broadcast;
};

// Every AF_INET entry in the order the system lists them; an error when getifaddrs fails.
std::vector<InterfaceAddress> ipv4_interface_addresses(std::error_code& error);

// The index of the interface that holds `address` (network byte order): the first IPv4 entry
// with that address, in the system's order.
std::optional<uint32_t> interface_index_of(uint32_t address);

}  // namespace velmorine::platform
