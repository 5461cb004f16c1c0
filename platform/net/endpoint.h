#pragma once

// A host-and-port endpoint of a TCP connection.

#include <asio/ip/address.hpp>
#include <cstdint>
#include <optional>
#include <string>

namespace velmorine::platform {

struct Endpoint {
  asio::ip::address host;
  uint16_t port = 0;

  // The printed form of the host: the dotted address for IPv4.
  std::string host_text() const { return host.to_string(); }
  // The IPv4 address as a socket address stores it (network byte order), when the host is IPv4.
  std::optional<uint32_t> ipv4() const;

  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// Network-byte-order IPv4 address to and from its dotted text.
std::string ipv4_text(uint32_t network_order);
std::optional<uint32_t> parse_ipv4(const std::string& dotted);

}  // namespace velmorine::platform
