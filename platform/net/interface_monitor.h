#pragma once

// Tells its owner, on the owner's queue, that the system's links or IPv4 addresses changed
// (a rtnetlink subscription). It says only that something changed: the owner reads the
// interface list again.

#include <functional>
#include <memory>
#include <system_error>

#include "platform/dispatch/read_source.h"
#include "platform/dispatch/serial_queue.h"

namespace velmorine::platform {

class InterfaceMonitor {
 public:
  // On the queue. An error when the netlink socket cannot be opened or bound.
  static std::unique_ptr<InterfaceMonitor> open(SerialQueue& queue, std::function<void()> on_change,
                                                std::error_code& error);
  ~InterfaceMonitor();

 private:
  InterfaceMonitor() = default;
  void drain();

  std::function<void()> on_change_;
  std::unique_ptr<ReadSource> source_;
};

}  // namespace velmorine::platform
