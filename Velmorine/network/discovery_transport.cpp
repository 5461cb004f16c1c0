#include "Velmorine/network/discovery_transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

// Binding a socket to a device by index (Linux 5.0); older libc headers lack the name.
#ifndef SO_BINDTOIFINDEX
#define SO_BINDTOIFINDEX 62
#endif

namespace velmorine::network {

namespace {

uint32_t group_address() {
  in_addr group{};
  inet_pton(AF_INET, std::string(kDiscoveryGroup).c_str(), &group);
  return group.s_addr;
}

// The address's four bytes in memory order read as a little-endian number, so that the last
// octet weighs most; the order the interface list is sorted in.
uint32_t little_endian_key(uint32_t address) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

bool set_int(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

// The kernel takes any index without looking it up, and index 0 unbinds the socket from
// every device: an index that names no device is refused here, as binding by name would.
bool bind_to_device(int fd, uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (index == 0 || if_indextoname(index, name) == nullptr) {
    errno = ENODEV;
    return false;
  }
  return set_int(fd, SOL_SOCKET, SO_BINDTOIFINDEX, static_cast<int>(index));
}

// The larger buffer is a wish, not a condition: past the system's limit (which only a
// privileged process may exceed) the socket keeps what it was given and still works.
void request_receive_buffer(int fd) {
  if (set_int(fd, SOL_SOCKET, SO_RCVBUFFORCE, kDiscoverySocketReceiveBuffer)) return;
  set_int(fd, SOL_SOCKET, SO_RCVBUF, kDiscoverySocketReceiveBuffer);
}

}  // namespace

std::vector<DiscoveryInterface> usableInterfaces(
    const std::vector<platform::InterfaceAddress>& entries) {
  constexpr unsigned kMask = IFF_UP | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_RUNNING | IFF_MULTICAST;
  constexpr unsigned kWanted = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
  std::unordered_set<DiscoveryInterface> unique;
  for (const auto& entry : entries) {
    if ((entry.flags & kMask) != kWanted) continue;
    unique.insert(DiscoveryInterface{entry.name, entry.index, entry.address, entry.broadcast});
  }
  std::vector<DiscoveryInterface> sorted(unique.begin(), unique.end());
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    if (a.index != b.index) return a.index < b.index;
    if (a.address != b.address) return little_endian_key(a.address) < little_endian_key(b.address);
    // Entries equal in both (an alias name, a different broadcast) keep a fixed order.
    if (a.name != b.name) return a.name < b.name;
    return a.broadcast.value_or(0) < b.broadcast.value_or(0);
  });
  if (sorted.size() > kDiscoveryMaxInterfaces) sorted.resize(kDiscoveryMaxInterfaces);
  return sorted;
}

std::vector<DiscoveryInterface> DiscoveryTransport::currentInterfaces() {
  std::error_code error;
  const auto entries = platform::ipv4_interface_addresses(error);
  if (error) return {};
  return usableInterfaces(entries);
}

std::shared_ptr<DiscoveryService> makeDiscoveryService(platform::SerialQueue& queue) {
  return DiscoveryTransport::create(queue, &DiscoveryTransport::currentInterfaces);
}

std::shared_ptr<DiscoveryTransport> DiscoveryTransport::create(platform::SerialQueue& queue,
                                                               InterfaceProvider interfaceProvider,
                                                               uint16_t port) {
  return std::shared_ptr<DiscoveryTransport>(
      new DiscoveryTransport(queue, std::move(interfaceProvider), port));
}

DiscoveryTransport::DiscoveryTransport(platform::SerialQueue& queue,
                                       InterfaceProvider interfaceProvider, uint16_t port)
    : queue_(queue),
      interfaceProvider_(interfaceProvider ? std::move(interfaceProvider)
                                           : InterfaceProvider(&currentInterfaces)),
      port_(port) {}

DiscoveryTransport::~DiscoveryTransport() {
  timer_.reset();
  channels_.clear();
}

void DiscoveryTransport::start() {
  queue_.assert_current();
  stop();
  running_ = true;
  timer_ = std::make_unique<platform::Timer>(queue_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->sendAnnouncement();
  });
  timer_->schedule(0, kDiscoveryPeriod, kDiscoveryLeeway);
}

void DiscoveryTransport::stop() {
  queue_.assert_current();
  running_ = false;
  ++generation_;
  timer_.reset();
  closeChannels();
  interfaces_.clear();
  setupIssues_.clear();
}

void DiscoveryTransport::closeChannels() {
  for (auto& channel : channels_) channel.reader->cancel();
  channels_.clear();
}

std::optional<DiscoveryTransport::Channel> DiscoveryTransport::openChannel(
    const DiscoveryInterface& interface) {
  auto fail = [&](const char* operation, int fd) -> std::optional<Channel> {
    setupIssues_.push_back({interface.name, operation, errno});
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  };

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return fail("socket", -1);

  in_addr interface_address{};
  interface_address.s_addr = interface.address;
  const unsigned char ttl = 1;
  // Binding to the device's index ties the socket to its interface (Linux has no IP_BOUND_IF;
  // binding by name fails for a labelled address); with IP_MULTICAST_ALL off it hears only
  // the groups it joined itself. Multicast loopback stays on, so this device hears its own
  // announcements and the reader refuses them.
  const bool configured =
      set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1) && set_int(fd, SOL_SOCKET, SO_REUSEPORT, 1) &&
      set_int(fd, SOL_SOCKET, SO_BROADCAST, 1) && bind_to_device(fd, interface.index) &&
      set_int(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0) &&
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address, sizeof interface_address) ==
          0 &&
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
      fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
  if (!configured) return fail("configure", fd);
  request_receive_buffer(fd);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port_);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return fail("bind", fd);
  }

  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = group_address();
  membership.imr_interface = interface_address;
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    return fail("join", fd);
  }

  Channel channel;
  channel.interface = interface;
  channel.fd = fd;
  channel.reader = std::make_unique<platform::ReadSource>(
      queue_, fd, [weak = weak_from_this(), generation = generation_, fd, interface] {
        auto self = weak.lock();
        if (!self || !self->running_ || self->generation_ != generation) return;
        self->receive(fd, interface);
      });
  return channel;
}

void DiscoveryTransport::sendAnnouncement() {
  queue_.assert_current();
  if (!running_) return;

  auto current = interfaceProvider_();
  if (current != interfaces_ || channels_.empty()) {
    ++generation_;
    closeChannels();
    interfaces_ = std::move(current);
    setupIssues_.clear();
    for (const auto& interface : interfaces_) {
      if (auto channel = openChannel(interface)) channels_.push_back(std::move(*channel));
    }
    if (onInterfacesChanged) {
      auto callback = onInterfacesChanged;
      callback(interfaces_);
    }
    // The callback may have stopped the transport.
    if (!running_) return;
  }

  auto issues = setupIssues_;
  std::optional<std::vector<uint8_t>> announcement;
  if (makeAnnouncement) {
    auto make = makeAnnouncement;
    announcement = make();
  }
  if (!announcement || announcement->empty() || announcement->size() > kDiscoveryMaxDatagram) {
    issues.push_back({"", "announcement", EINVAL});
  } else {
    for (const auto& channel : channels_) {
      auto send_to = [&](uint32_t address, const char* operation) {
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_port = htons(port_);
        destination.sin_addr.s_addr = address;
        const ssize_t sent =
            sendto(channel.fd, announcement->data(), announcement->size(), 0,
                   reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        if (sent < 0 || static_cast<size_t>(sent) != announcement->size()) {
          issues.push_back({channel.interface.name, operation, sent < 0 ? errno : EMSGSIZE});
        }
      };
      send_to(group_address(), "multicast");
      if (channel.interface.broadcast) send_to(*channel.interface.broadcast, "broadcast");
    }
  }

  if (onStatus) {
    auto callback = onStatus;
    callback(issues, interfaces_.size(), channels_.size());
  }
}

void DiscoveryTransport::receive(int fd, const DiscoveryInterface& interface) {
  const uint64_t generation = generation_;
  for (int read = 0; read < kDiscoveryMaxReadsPerEvent; ++read) {
    sockaddr_storage source{};
    socklen_t source_length = sizeof source;
    const ssize_t got = recvfrom(fd, receiveBuffer_.data(), receiveBuffer_.size(), 0,
                                 reinterpret_cast<sockaddr*>(&source), &source_length);
    if (got < 0) return;
    // Oversized datagrams (a full buffer), empty ones and non-IPv4 senders are dropped quietly:
    // the port is shared with whatever else the network runs.
    if (got == 0 || static_cast<size_t>(got) > kDiscoveryMaxDatagram) continue;
    if (source.ss_family != AF_INET) continue;
    char host[INET_ADDRSTRLEN] = {};
    const auto& source_v4 = reinterpret_cast<const sockaddr_in&>(source);
    if (inet_ntop(AF_INET, &source_v4.sin_addr, host, sizeof host) == nullptr) continue;
    if (!onDatagram) continue;
    std::vector<uint8_t> datagram(receiveBuffer_.begin(), receiveBuffer_.begin() + got);
    auto callback = onDatagram;
    callback(std::move(datagram), host, interface.name);
    // The owner may have stopped or restarted the transport from its callback.
    if (!running_ || generation_ != generation) return;
  }
}

}  // namespace velmorine::network
