#include "platform/net/endpoint.h"

#include <arpa/inet.h>

#include <cstring>

namespace velmorine::platform {

std::optional<uint32_t> Endpoint::ipv4() const {
  asio::ip::address_v4 v4;
  if (host.is_v4()) {
    v4 = host.to_v4();
  } else if (host.is_v6() && host.to_v6().is_v4_mapped()) {
    v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, host.to_v6());
  } else {
    return std::nullopt;
  }
  const auto bytes = v4.to_bytes();
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

std::string ipv4_text(uint32_t network_order) {
  in_addr address{};
  address.s_addr = network_order;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return {};
  return text;
}

std::optional<uint32_t> parse_ipv4(const std::string& dotted) {
  in_addr address{};
  if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) return std::nullopt;
  return address.s_addr;
}

}  // namespace velmorine::platform
