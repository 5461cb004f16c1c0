#include "platform/net/interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

namespace velmorine::platform {

std::vector<InterfaceAddress> ipv4_interface_addresses(std::error_code& error) {
  error.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    error = std::error_code(errno, std::generic_category());
    return {};
  }
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
  std::vector<InterfaceAddress> result;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress item;
    item.name = entry->ifa_name ? entry->ifa_name : "";
    item.index = if_nametoindex(item.name.c_str());
    item.flags = entry->ifa_flags;
    item.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr &&
        entry->ifa_broadaddr->sa_family == AF_INET) {
      item.broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr.s_addr;
    }
    result.push_back(std::move(item));
  }
  return result;
}

std::optional<uint32_t> interface_index_of(uint32_t address) {
  std::error_code error;
  for (const auto& entry : ipv4_interface_addresses(error)) {
    if (entry.address != address) continue;
    if (entry.index == 0) return std::nullopt;
    return entry.index;
  }
  return std::nullopt;
}

}  // namespace velmorine::platform
