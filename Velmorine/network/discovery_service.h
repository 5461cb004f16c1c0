#pragma once

// What the runtime sees of discovery: the interfaces it runs on, the issues it reports, and
// the service with its four callbacks. The runtime builds the service through a factory that
// takes the runtime's queue, installs the callbacks, then starts and stops it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/serial_queue.h"

namespace velmorine::network {

struct DiscoveryInterface {
  std::string name;                   // the system's interface name
  uint32_t index = 0;                 // if_nametoindex
  uint32_t address = 0;               // IPv4, network byte order as a socket address holds it
  std::optional<uint32_t> broadcast;  // same order; absent without a broadcast address

  friend bool operator==(const DiscoveryInterface&, const DiscoveryInterface&) = default;
};

struct DiscoveryIssue {
  std::string interface;  // empty for an issue that concerns no interface
  // "socket", "configure", "bind", "join", "multicast", "broadcast" or "announcement"
  std::string operation;
  int32_t code = 0;  // errno

  friend bool operator==(const DiscoveryIssue&, const DiscoveryIssue&) = default;
};

class DiscoveryService {
 public:
  using MakeAnnouncement = std::function<std::optional<std::vector<uint8_t>>()>;
  // The datagram, the sender's dotted IPv4 address and the receiving interface's name.
  using OnDatagram =
      std::function<void(std::vector<uint8_t> datagram, std::string host, std::string interface)>;
  using OnInterfacesChanged = std::function<void(const std::vector<DiscoveryInterface>&)>;
  using OnStatus = std::function<void(const std::vector<DiscoveryIssue>& issues, size_t interfaces,
                                      size_t channels)>;

  virtual ~DiscoveryService() = default;

  // All on the service's queue.
  virtual void start() = 0;
  virtual void stop() = 0;
  virtual void sendAnnouncement() = 0;

  // Installed by the owner; called on the queue.
  MakeAnnouncement makeAnnouncement;
  OnDatagram onDatagram;
  OnInterfacesChanged onInterfacesChanged;
  OnStatus onStatus;
};

// The runtime's discovery factory: takes the runtime's queue.
using DiscoveryFactory =
    std::function<std::shared_ptr<DiscoveryService>(platform::SerialQueue& queue)>;

// The factory the runtime uses: a UDP discovery transport on that queue over the system's
// current interfaces.
std::shared_ptr<DiscoveryService> makeDiscoveryService(platform::SerialQueue& queue);

}  // namespace velmorine::network

template <>
struct std::hash<velmorine::network::DiscoveryInterface> {
  size_t operator()(const velmorine::network::DiscoveryInterface& i) const noexcept {
    size_t h = std::hash<std::string>()(i.name);
    h = h * 31 + i.index;
    h = h * 31 + i.address;
    h = h * 31 + (i.broadcast ? *i.broadcast + 1u : 0u);
    return h;
  }
};
