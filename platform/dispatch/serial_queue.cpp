#include "platform/dispatch/serial_queue.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

namespace velmorine::platform {

SerialQueue::SerialQueue(std::string label, std::shared_ptr<UptimeClock> clock)
    : label_(std::move(label)),
      clock_(clock ? std::move(clock) : system_uptime_clock()),
      strand_(asio::make_strand(context_)),
      work_(asio::make_work_guard(context_)),
      wake_(context_) {
  if (!clock_->advances_by_itself()) {
    // A hand-moved clock wakes the queue itself; no real timer would ever match it. The clock
    // may be moved from any thread, also while this queue is being destroyed.
    waker_ = std::make_shared<Waker>();
    waker_->queue = this;
    advance_token_ = clock_->on_advance([waker = waker_] {
      std::lock_guard lock(waker->mutex);
      if (waker->queue) {
        asio::post(waker->queue->strand_, [queue = waker->queue] { queue->fire_due(); });
      }
    });
  }
  anchor_ = std::make_shared<Anchor>();
  anchor_->queue = this;
  thread_ = std::thread([this] { context_.run(); });
}

SerialQueue::~SerialQueue() {
  if (is_current()) {
    std::fprintf(stderr, "SerialQueue %s destroyed from its own thread\n", label_.c_str());
    std::abort();
  }
  {
    std::lock_guard lock(anchor_->mutex);
    anchor_->queue = nullptr;
  }
  if (waker_) {
    std::lock_guard lock(waker_->mutex);
    waker_->queue = nullptr;
  }
  advance_token_.reset();
  work_.reset();
  context_.stop();
  thread_.join();
  by_latest_.clear();
  by_deadline_.clear();
}

void SerialQueue::async(std::function<void()> work) { asio::post(strand_, std::move(work)); }

void SerialQueue::sync(const std::function<void()>& work) {
  if (is_current()) {
    work();
    return;
  }
  std::promise<void> done;
  asio::post(strand_, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void SerialQueue::async_after(double seconds, std::function<void()> work) {
  auto slot = std::make_shared<TimerSlot>();
  slot->handler = std::move(work);
  asio::post(strand_, [this, slot, seconds] { arm(slot, seconds, 0, 0); });
}

SerialQueue::Handle SerialQueue::handle() const {
  Handle handle;
  handle.anchor_ = anchor_;
  return handle;
}

bool SerialQueue::Handle::async(std::function<void()> work) const {
  if (!anchor_) return false;
  {
    // Posting under the lock: the queue cannot go between the check and the post.
    std::lock_guard lock(anchor_->mutex);
    if (anchor_->queue) {
      anchor_->queue->async(std::move(work));
      return true;
    }
  }
  return false;
}

bool SerialQueue::is_current() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::assert_current() const {
  if (!is_current()) {
    std::fprintf(stderr, "called off the queue %s\n", label_.c_str());
    std::abort();
  }
}

std::optional<double> SerialQueue::next_deadline() const {
  if (by_deadline_.empty()) return std::nullopt;
  return by_deadline_.begin()->first.first;
}

void SerialQueue::arm(const std::shared_ptr<TimerSlot>& slot, double delay, double period,
                      double leeway) {
  if (slot->armed) unlink(*slot);
  slot->deadline = now() + std::max(0.0, delay);
  slot->period = std::max(0.0, period);
  slot->leeway = std::max(0.0, leeway);
  slot->order = next_order_++;
  slot->armed = true;
  by_deadline_.emplace(TimerKey{slot->deadline, slot->order}, slot);
  by_latest_.emplace(slot->deadline + slot->leeway, slot->order);
  rearm();
}

void SerialQueue::disarm(TimerSlot& slot) {
  if (!slot.armed) return;
  slot.armed = false;
  unlink(slot);
  // No re-arm: a wake that finds nothing due costs one pass and sets the next wake.
}

void SerialQueue::unlink(const TimerSlot& slot) {
  by_latest_.erase(TimerKey{slot.deadline + slot.leeway, slot.order});
  by_deadline_.erase(TimerKey{slot.deadline, slot.order});
}

void SerialQueue::rearm() {
  if (!clock_->advances_by_itself()) {
    // A hand-moved clock: what is already due runs now, the rest when the clock moves.
    if (!fire_posted_ && !by_deadline_.empty() && by_deadline_.begin()->first.first <= now()) {
      fire_posted_ = true;
      asio::post(strand_, [this] { fire_due(); });
    }
    return;
  }
  // One wake-up serves every timer: the earliest moment at which some timer would be late
  // beyond its leeway, so timers close together fire in one pass. A wake already set earlier
  // stays; waking early only costs a pass that finds nothing due.
  if (by_latest_.empty()) return;
  const double wake_at = by_latest_.begin()->first;
  if (wake_at_ && *wake_at_ <= wake_at) return;
  wake_at_ = wake_at;
  const uint64_t generation = ++wake_generation_;
  const double wait = std::max(0.0, wake_at - now());
  // Setting the expiry cancels the wait it replaces.
  wake_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(wait)));
  wake_.async_wait(asio::bind_executor(strand_, [this, generation](const std::error_code& error) {
    if (error || generation != wake_generation_) return;
    wake_at_.reset();
    fire_due();
  }));
}

void SerialQueue::fire_due() {
  fire_posted_ = false;
  const double current = now();
  // Only what is due now fires in this pass: a handler that arms a timer for now (or itself
  // again) leaves it for the next pass, so the queue's other work is not starved.
  std::vector<std::shared_ptr<TimerSlot>> due;
  for (auto entry = by_deadline_.begin();
       entry != by_deadline_.end() && entry->first.first <= current; ++entry) {
    due.push_back(entry->second);
  }
  for (const auto& slot : due) {
    // An earlier handler may have cancelled or rescheduled this timer.
    if (!slot->armed || slot->deadline > current) continue;
    unlink(*slot);
    if (slot->period > 0) {
      double next = slot->deadline + slot->period;
      // Ticks missed while the queue was busy (or the clock jumped) are not replayed.
      if (next <= current) next = current + slot->period;
      slot->deadline = next;
      slot->order = next_order_++;
      by_deadline_.emplace(TimerKey{slot->deadline, slot->order}, slot);
      by_latest_.emplace(slot->deadline + slot->leeway, slot->order);
    } else {
      slot->armed = false;
    }
    // `due` keeps the slot, and so its handler, alive even if the handler destroys its timer.
    slot->handler();
  }
  rearm();
}

}  // namespace velmorine::platform
