#include "platform/dispatch/serial_queue.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>

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
  slots_.clear();
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
  asio::post(strand_, [this, slot, seconds] {
    slot->deadline = now() + std::max(0.0, seconds);
    slot->armed = true;
    add_slot(slot);
  });
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

void SerialQueue::add_slot(const std::shared_ptr<TimerSlot>& slot) {
  if (std::find(slots_.begin(), slots_.end(), slot) == slots_.end()) slots_.push_back(slot);
  rearm();
}

void SerialQueue::remove_slot(const TimerSlot* slot) {
  std::erase_if(slots_, [slot](const auto& held) { return held.get() == slot; });
  rearm();
}

void SerialQueue::rearm() {
  if (!clock_->advances_by_itself()) {
    // A hand-moved clock: what is already due runs now, the rest when the clock moves.
    const double current = now();
    for (const auto& slot : slots_) {
      if (slot->armed && slot->deadline <= current) {
        asio::post(strand_, [this] { fire_due(); });
        break;
      }
    }
    return;
  }
  // One wake-up serves every timer: the earliest moment at which some timer would be late
  // beyond its leeway, so timers close together fire in one pass.
  double wake_at = std::numeric_limits<double>::infinity();
  for (const auto& slot : slots_) {
    if (slot->armed) wake_at = std::min(wake_at, slot->deadline + slot->leeway);
  }
  wake_.cancel();
  if (wake_at == std::numeric_limits<double>::infinity()) return;
  const double wait = std::max(0.0, wake_at - now());
  wake_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(wait)));
  wake_.async_wait(asio::bind_executor(strand_, [this](const std::error_code& error) {
    if (!error) fire_due();
  }));
}

void SerialQueue::fire_due() {
  const double current = now();
  std::vector<std::shared_ptr<TimerSlot>> due;
  for (const auto& slot : slots_) {
    if (slot->armed && slot->deadline <= current) due.push_back(slot);
  }
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a->deadline < b->deadline; });
  for (const auto& slot : due) {
    // An earlier handler may have cancelled or rescheduled this timer.
    if (!slot->armed || slot->deadline > current) continue;
    if (slot->period > 0) {
      slot->deadline += slot->period;
      // Ticks missed while the queue was busy (or the clock jumped) are not replayed.
      if (slot->deadline <= current) slot->deadline = current + slot->period;
    } else {
      slot->armed = false;
    }
    auto handler = slot->handler;  // the handler may destroy its timer
    handler();
  }
  due.clear();
  std::erase_if(slots_, [](const auto& slot) { return !slot->armed && slot.use_count() == 1; });
  rearm();
}

}  // namespace velmorine::platform
