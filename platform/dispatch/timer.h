#pragma once

// A timer source on a serial queue: fires once or repeatedly, measured on the queue's uptime
// clock, with a leeway within which the queue may fire it late to serve several timers in one
// wake-up. Every operation runs on the queue; once `cancel` returns the handler does not run.

#include <functional>
#include <memory>

#include "platform/dispatch/serial_queue.h"

namespace velmorine::platform {

class Timer {
 public:
  Timer(SerialQueue& queue, std::function<void()> handler);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // First fire after `delay` seconds, then every `period` seconds when `period` > 0.
  // Scheduling again replaces the earlier schedule.
  void schedule(double delay, double period = 0, double leeway = 0);
  void cancel();
  bool armed() const;

 private:
  SerialQueue& queue_;
  std::shared_ptr<SerialQueue::TimerSlot> slot_;
};

}  // namespace velmorine::platform
