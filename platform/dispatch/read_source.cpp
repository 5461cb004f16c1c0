#include "platform/dispatch/read_source.h"

#include <poll.h>

#include <asio/bind_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>

namespace velmorine::platform {

struct ReadSource::State {
  State(SerialQueue& queue, int fd, std::function<void()> handler)
      : descriptor(queue.context(), fd),
        executor(queue.executor()),
        on_readable(std::move(handler)) {}

  asio::posix::stream_descriptor descriptor;
  SerialQueue::Executor executor;
  std::function<void()> on_readable;
  bool cancelled = false;

  static void arm(const std::shared_ptr<State>& state) {
    state->descriptor.async_wait(
        asio::posix::stream_descriptor::wait_read,
        asio::bind_executor(state->executor, [state](const std::error_code& error) {
          if (state->cancelled || error) return;
          fire(state);
        }));
  }

  // Level-triggered like a dispatch read source: a handler that leaves data unread (it reads
  // a bounded number per event) is called again, after the work already queued, rather than
  // waiting for the next arrival.
  static void fire(const std::shared_ptr<State>& state) {
    auto handler = state->on_readable;  // the handler may cancel its source
    handler();
    if (state->cancelled) return;
    pollfd poll_fd{state->descriptor.native_handle(), POLLIN, 0};
    if (poll(&poll_fd, 1, 0) > 0 && (poll_fd.revents & POLLIN) != 0) {
      asio::post(state->executor, [state] {
        if (!state->cancelled) fire(state);
      });
    } else {
      arm(state);
    }
  }
};

ReadSource::ReadSource(SerialQueue& queue, int fd, std::function<void()> on_readable)
    : queue_(queue), fd_(fd) {
  queue_.assert_current();
  state_ = std::make_shared<State>(queue, fd, std::move(on_readable));
  State::arm(state_);
}

ReadSource::~ReadSource() {
  if (queue_.is_current()) {
    cancel();
    return;
  }
  // Destroyed off the queue (an owner torn down elsewhere): the close still runs on it.
  queue_.async([state = state_] { close(*state); });
}

void ReadSource::cancel() {
  if (!state_ || state_->cancelled) return;
  queue_.assert_current();
  close(*state_);
}

void ReadSource::close(State& state) {
  if (state.cancelled) return;
  state.cancelled = true;
  std::error_code ignored;
  state.descriptor.close(ignored);
  // The handler may hold what the owner is tearing down; drop it now, not at the next event.
  state.on_readable = nullptr;
}

bool ReadSource::active() const { return state_ && !state_->cancelled; }

}  // namespace velmorine::platform
