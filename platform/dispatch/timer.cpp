#include "platform/dispatch/timer.h"

#include <algorithm>

namespace velmorine::platform {

Timer::Timer(SerialQueue& queue, std::function<void()> handler)
    : queue_(queue), slot_(std::make_shared<SerialQueue::TimerSlot>()) {
  slot_->handler = std::move(handler);
}

Timer::~Timer() {
  if (queue_.is_current()) {
    slot_->armed = false;
    queue_.remove_slot(slot_.get());
    return;
  }
  // Destroyed off the queue (an owner torn down elsewhere): forget the slot on the queue.
  queue_.async([queue = &queue_, slot = slot_] {
    slot->armed = false;
    queue->remove_slot(slot.get());
  });
}

void Timer::schedule(double delay, double period, double leeway) {
  queue_.assert_current();
  slot_->deadline = queue_.now() + std::max(0.0, delay);
  slot_->period = std::max(0.0, period);
  slot_->leeway = std::max(0.0, leeway);
  slot_->armed = true;
  queue_.add_slot(slot_);
}

void Timer::cancel() {
  queue_.assert_current();
  slot_->armed = false;
  queue_.rearm();
}

bool Timer::armed() const { return slot_->armed; }

}  // namespace velmorine::platform
