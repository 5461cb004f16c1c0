#include "platform/dispatch/timer.h"

namespace velmorine::platform {

Timer::Timer(SerialQueue& queue, std::function<void()> handler)
    : queue_(queue), slot_(std::make_shared<SerialQueue::TimerSlot>()) {
  slot_->handler = std::move(handler);
}

Timer::~Timer() {
  if (queue_.is_current()) {
    queue_.disarm(*slot_);
    return;
  }
  // Destroyed off the queue (an owner torn down elsewhere): forget the slot on the queue.
  queue_.async([queue = &queue_, slot = slot_] { queue->disarm(*slot); });
}

void Timer::schedule(double delay, double period, double leeway) {
  queue_.assert_current();
  queue_.arm(slot_, delay, period, leeway);
}

void Timer::cancel() {
  queue_.assert_current();
  queue_.disarm(*slot_);
}

bool Timer::armed() const { return slot_->armed; }

}  // namespace velmorine::platform
