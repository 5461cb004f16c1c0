#include "platform/net/interface_monitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace velmorine::platform {

std::unique_ptr<InterfaceMonitor> InterfaceMonitor::open(SerialQueue& queue,
                                                         std::function<void()> on_change,
                                                         std::error_code& error) {
  error.clear();
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    error = std::error_code(errno, std::generic_category());
    return nullptr;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    error = std::error_code(errno, std::generic_category());
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<InterfaceMonitor> monitor(new InterfaceMonitor());
  monitor->on_change_ = std::move(on_change);
  monitor->source_ =
      std::make_unique<ReadSource>(queue, fd, [raw = monitor.get()] { raw->drain(); });
  return monitor;
}

InterfaceMonitor::~InterfaceMonitor() { source_.reset(); }

void InterfaceMonitor::drain() {
  // Several notifications usually arrive together (link, then address); one report covers
  // them all. An overrun (ENOBUFS) also means something changed.
  std::array<char, 8192> buffer;
  bool changed = false;
  for (int i = 0; i < 64; ++i) {
    const ssize_t got = recv(source_->fd(), buffer.data(), buffer.size(), 0);
    if (got < 0) {
      if (errno == ENOBUFS) {
        changed = true;
        continue;
      }
      break;
    }
    changed = true;
  }
  if (changed && on_change_) on_change_();
}

}  // namespace velmorine::platform
