#pragma once

// UDP discovery: this device's announcement on every usable IPv4 interface every 3 seconds,
// by multicast to 239.255.53.17 and by broadcast, port 53317; every datagram heard is handed
// to the owner. One non-blocking socket per interface address, bound to its device by index
// so that it hears only that interface and reports datagrams under the right name (a labelled
// address such as "eth0:1" has a name of its own but no device by that name). It neither
// builds nor parses announcements; failures become issues, never exceptions.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "platform/dispatch/read_source.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer.h"
#include "platform/net/interfaces.h"

namespace velmorine::network {

inline constexpr uint16_t kDiscoveryPort = 53317;
inline constexpr std::string_view kDiscoveryGroup = "239.255.53.17";
inline constexpr size_t kDiscoveryMaxDatagram = 8192;
inline constexpr size_t kDiscoveryReceiveBuffer = kDiscoveryMaxDatagram + 1;
inline constexpr double kDiscoveryPeriod = 3.0;
inline constexpr double kDiscoveryLeeway = 0.1;
inline constexpr size_t kDiscoveryMaxInterfaces = 16;
inline constexpr int kDiscoveryMaxReadsPerEvent = 64;
// Asked of every socket: the default (about 200 KiB) holds a few dozen datagrams of 8 KB at
// most, which a flood on the port fills between two read events, dropping genuine ones.
inline constexpr int kDiscoverySocketReceiveBuffer = 1 << 20;

class DiscoveryTransport final : public DiscoveryService,
                                 public std::enable_shared_from_this<DiscoveryTransport> {
 public:
  using InterfaceProvider = std::function<std::vector<DiscoveryInterface>()>;

  // `port` is the discovery port; tests may pass another one.
  static std::shared_ptr<DiscoveryTransport> create(platform::SerialQueue& queue,
                                                    InterfaceProvider interfaceProvider,
                                                    uint16_t port = kDiscoveryPort);
  ~DiscoveryTransport() override;

  void start() override;
  void stop() override;
  void sendAnnouncement() override;

  // The usable interfaces: IPv4, up, running, multicast, neither loopback nor point-to-point;
  // each distinct entry once, by index then address, at most 16.
  static std::vector<DiscoveryInterface> currentInterfaces();

  bool running() const { return running_; }
  uint64_t generation() const { return generation_; }
  size_t channelCount() const { return channels_.size(); }
  const std::vector<DiscoveryInterface>& interfaces() const { return interfaces_; }
  const std::vector<DiscoveryIssue>& setupIssues() const { return setupIssues_; }

 private:
  struct Channel {
    DiscoveryInterface interface;
    int fd = -1;
    std::unique_ptr<platform::ReadSource> reader;  // owns fd
  };

  DiscoveryTransport(platform::SerialQueue& queue, InterfaceProvider interfaceProvider,
                     uint16_t port);
  std::optional<Channel> openChannel(const DiscoveryInterface& interface);
  void closeChannels();
  void receive(int fd, const DiscoveryInterface& interface);

  platform::SerialQueue& queue_;
  InterfaceProvider interfaceProvider_;
  uint16_t port_;
  std::vector<Channel> channels_;
  std::vector<DiscoveryInterface> interfaces_;
  std::vector<DiscoveryIssue> setupIssues_;
  std::unique_ptr<platform::Timer> timer_;
  // One read buffer for every channel: only what a datagram filled is copied out.
  std::vector<uint8_t> receiveBuffer_ = std::vector<uint8_t>(kDiscoveryReceiveBuffer);
  uint64_t generation_ = 0;
  bool running_ = false;
};

// The usable-interface rule over a raw address list (`currentInterfaces` applies it to the
// system's list).
std::vector<DiscoveryInterface> usableInterfaces(
    const std::vector<platform::InterfaceAddress>& entries);

}  // namespace velmorine::network
