#pragma once

// A read source on a serial queue: calls its handler on the queue whenever the descriptor has
// something to read, until cancelled. The source owns the descriptor: cancelling it (or
// destroying it) closes the descriptor. Every operation runs on the queue.

#include <functional>
#include <memory>

#include "platform/dispatch/serial_queue.h"

namespace velmorine::platform {

class ReadSource {
 public:
  ReadSource(SerialQueue& queue, int fd, std::function<void()> on_readable);
  ~ReadSource();
  ReadSource(const ReadSource&) = delete;
  ReadSource& operator=(const ReadSource&) = delete;

  // Stops the handler and closes the descriptor; the handler does not run afterwards.
  void cancel();
  bool active() const;
  int fd() const { return fd_; }

 private:
  struct State;
  static void close(State& state);
  SerialQueue& queue_;
  int fd_;
  std::shared_ptr<State> state_;
};

}  // namespace velmorine::platform
