#pragma once

// The byte budget shared by every connection of the runtime: a connection reserves the size
// of each chunk it queues for writing and gives it back once the chunk is written or the
// connection ends, so that all connections together never hold more than 20 MiB of output.
// The one object of this subsystem used from more than one place at once, hence its lock.

#include <cstddef>
#include <functional>
#include <mutex>

namespace velmorine::network {

class NetworkOutputBudget {
 public:
  static constexpr size_t kCapacity = 20971520;

  NetworkOutputBudget() = default;
  NetworkOutputBudget(const NetworkOutputBudget&) = delete;
  NetworkOutputBudget& operator=(const NetworkOutputBudget&) = delete;

  size_t capacity() const { return kCapacity; }
  size_t used() const;
  // Whether `bytes` more would fit now; reserves nothing.
  bool hasRoomFor(size_t bytes) const;
  // Adds `bytes` to what is used when they fit; false (and nothing changes) otherwise.
  bool reserve(size_t bytes);
  // Takes `bytes` back from what is used, then calls `onAvailable` outside the lock, also
  // when `bytes` is 0.
  void giveBack(size_t bytes);

  // Called after bytes are given back, on the thread that gave them back.
  void setOnAvailable(std::function<void()> onAvailable);

 private:
  mutable std::mutex lock_;
  size_t used_ = 0;
  std::function<void()> onAvailable_;
};

}  // namespace velmorine::network
