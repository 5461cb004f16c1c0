#pragma once

// A byte stream whose every event the test drives: readiness, received bytes, the end of the
// stream and write completions happen only inside `pump`, on the queue, so tests of the secure
// connection and the peer session run without sockets, threads racing or sleeps.

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "Velmorine/network/stream_connection.h"

namespace velmorine::network::testing {

struct FakeStreamState {
  StreamConnection::StateHandler stateHandler;
  bool started = false;
  bool readyDelivered = false;
  bool cancelled = false;
  std::optional<std::pair<size_t, StreamConnection::ReceiveHandler>> receive;
  struct Send {
    std::vector<uint8_t> bytes;
    StreamConnection::SendCompletion completion;
  };
  std::deque<Send> sends;
  std::vector<uint8_t> inbox;  // bytes the peer wrote, not yet received
  bool endPending = false;     // deliver the end of the stream once the inbox is empty
  std::optional<std::error_code> errorPending;
  bool holdWrites = false;       // keep write completions back (a peer that does not read)
  std::vector<uint8_t> written;  // everything written, for streams without a peer
  size_t receiveRequests = 0;
  std::optional<platform::Endpoint> local;
  std::optional<platform::Endpoint> remote;
  std::expected<platform::PinnedRoute, std::error_code> pin =
      std::unexpected(std::make_error_code(std::errc::network_unreachable));
};

class FakeStream final : public StreamConnection {
 public:
  explicit FakeStream(std::shared_ptr<FakeStreamState> state) : state_(std::move(state)) {}

  void setStateHandler(StateHandler handler) override { state_->stateHandler = std::move(handler); }
  void start() override { state_->started = true; }
  void receive(size_t maximum, ReceiveHandler handler) override {
    ++state_->receiveRequests;
    state_->receive.emplace(maximum, std::move(handler));
  }
  void send(std::vector<uint8_t> bytes, SendCompletion completion) override {
    if (state_->cancelled) return;
    state_->sends.push_back({std::move(bytes), std::move(completion)});
  }
  void cancel() override {
    state_->cancelled = true;
    state_->sends.clear();
    state_->receive.reset();
  }
  std::optional<platform::Endpoint> localEndpoint() const override { return state_->local; }
  std::optional<platform::Endpoint> remoteEndpoint() const override { return state_->remote; }
  std::expected<platform::PinnedRoute, std::error_code> pinnedRoute() const override {
    return state_->pin;
  }

 private:
  std::shared_ptr<FakeStreamState> state_;
};

// One step of a stream's events; true when something happened. Written bytes go to `peer`
// when there is one.
inline bool stepStream(FakeStreamState& side, FakeStreamState* peer) {
  bool progress = false;
  if (side.started && !side.readyDelivered && !side.cancelled) {
    side.readyDelivered = true;
    if (auto handler = side.stateHandler) handler(platform::ConnectionState::ready, {});
    progress = true;
  }
  if (!side.holdWrites) {
    while (!side.sends.empty()) {
      auto send = std::move(side.sends.front());
      side.sends.pop_front();
      auto& target = peer ? peer->inbox : side.written;
      target.insert(target.end(), send.bytes.begin(), send.bytes.end());
      if (send.completion) send.completion({});
      progress = true;
    }
  }
  if (side.receive && !side.cancelled) {
    if (!side.inbox.empty()) {
      auto [maximum, handler] = std::move(*side.receive);
      side.receive.reset();
      const size_t count = std::min(maximum, side.inbox.size());
      std::vector<uint8_t> chunk(side.inbox.begin(), side.inbox.begin() + count);
      side.inbox.erase(side.inbox.begin(), side.inbox.begin() + count);
      handler(std::move(chunk), false, {});
      progress = true;
    } else if (side.errorPending) {
      auto [maximum, handler] = std::move(*side.receive);
      side.receive.reset();
      const auto error = *side.errorPending;
      side.errorPending.reset();
      handler({}, false, error);
      progress = true;
    } else if (side.endPending) {
      auto [maximum, handler] = std::move(*side.receive);
      side.receive.reset();
      side.endPending = false;
      handler({}, true, {});
      progress = true;
    }
  }
  return progress;
}

// Runs both ends until nothing more happens. On the queue.
inline void pump(FakeStreamState& a, FakeStreamState* b = nullptr) {
  for (int round = 0; round < 100000; ++round) {
    bool progress = stepStream(a, b);
    if (b) progress = stepStream(*b, &a) || progress;
    if (!progress) return;
  }
}

}  // namespace velmorine::network::testing
