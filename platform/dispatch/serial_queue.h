#pragma once

// A serial work queue in the manner of a dispatch queue: work posted to it runs one item at a
// time, in order, on the queue's own thread. Timers fire on it, measured on the queue's uptime
// clock, and socket read handlers run on it. Objects that live on a queue (timers, read
// sources, sockets of the net layer) must be destroyed before their queue.

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "platform/dispatch/uptime_clock.h"

namespace velmorine::platform {

class SerialQueue {
  struct Anchor;

 public:
  using Executor = asio::strand<asio::io_context::executor_type>;

  explicit SerialQueue(std::string label,
                       std::shared_ptr<UptimeClock> clock = system_uptime_clock());
  // Stops the queue; work not yet run is dropped. Never call it from the queue itself.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  const std::shared_ptr<UptimeClock>& clock() const { return clock_; }
  double now() const { return clock_->now(); }

  void async(std::function<void()> work);
  // Runs `work` on the queue and waits for it; runs it inline when called on the queue.
  void sync(const std::function<void()>& work);
  // Runs `work` once `seconds` have passed on the queue's clock.
  void async_after(double seconds, std::function<void()> work);

  // A way back to the queue that may outlive it: work posted through it once the queue is
  // gone is dropped (destroyed on the posting thread), never run.
  class Handle {
   public:
    // False when the queue is gone.
    bool async(std::function<void()> work) const;

   private:
    friend class SerialQueue;
    std::shared_ptr<Anchor> anchor_;
  };
  Handle handle() const;

  bool is_current() const;
  // Aborts the process when called off the queue: the callers' state is confined to it.
  void assert_current() const;

  // On the queue: how many timers (and async-after items) wait to fire, and the earliest
  // deadline among them.
  size_t armed_timers() const { return by_deadline_.size(); }
  std::optional<double> next_deadline() const;

  // For the layers that put sockets on this queue.
  asio::io_context& context() { return context_; }
  Executor& executor() { return strand_; }

 private:
  friend class Timer;

  struct TimerSlot {
    std::function<void()> handler;
    double deadline = 0;
    double period = 0;  // 0: fires once
    double leeway = 0;
    uint64_t order = 0;  // when it was armed: timers with equal deadlines fire in this order
    bool armed = false;
  };
  // A timer's place in the queue's orderings: a time, then the order it was armed in.
  using TimerKey = std::pair<double, uint64_t>;

  void arm(const std::shared_ptr<TimerSlot>& slot, double delay, double period, double leeway);
  void disarm(TimerSlot& slot);
  void unlink(const TimerSlot& slot);
  void rearm();
  void fire_due();

  std::string label_;
  std::shared_ptr<UptimeClock> clock_;
  asio::io_context context_;
  Executor strand_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::steady_timer wake_;
  // Armed timers by deadline, which is the order they fire in, and by the latest moment each
  // may fire (deadline plus leeway), which decides when the queue must wake.
  std::map<TimerKey, std::shared_ptr<TimerSlot>> by_deadline_;
  std::set<TimerKey> by_latest_;
  uint64_t next_order_ = 0;
  std::optional<double> wake_at_;  // when the real timer is set to wake the queue
  uint64_t wake_generation_ = 0;   // tells a superseded wake from the current one
  bool fire_posted_ = false;       // a pass over due timers is already on its way
  struct Waker {
    std::mutex mutex;
    SerialQueue* queue = nullptr;  // cleared when the queue goes
  };
  std::shared_ptr<Waker> waker_;
  // What a handle holds of the queue: the queue while it lives.
  struct Anchor {
    std::mutex mutex;
    SerialQueue* queue = nullptr;  // cleared when the queue goes
  };
  std::shared_ptr<Anchor> anchor_;
  std::shared_ptr<void> advance_token_;
  std::thread thread_;
};

}  // namespace velmorine::platform
