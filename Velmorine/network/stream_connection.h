#pragma once

// What a secure connection needs of the byte stream beneath it: a state handler, one receive
// request at a time, sends with a completion in order, cancel, and its endpoints. The TCP
// connection of the platform layer is the one used in the program; tests put in a stream whose
// completions they drive by hand.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/net/endpoint.h"
#include "platform/net/tcp_connection.h"

namespace velmorine::network {

class StreamConnection {
 public:
  using State = platform::ConnectionState;
  using StateHandler = platform::TcpConnection::StateHandler;
  using ReceiveHandler = platform::TcpConnection::ReceiveHandler;
  using SendCompletion = platform::TcpConnection::SendCompletion;

  virtual ~StreamConnection() = default;

  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void start() = 0;
  virtual void receive(size_t maximum, ReceiveHandler handler) = 0;
  virtual void send(std::vector<uint8_t> bytes, SendCompletion completion) = 0;
  virtual void cancel() = 0;

  virtual std::optional<platform::Endpoint> localEndpoint() const = 0;
  virtual std::optional<platform::Endpoint> remoteEndpoint() const = 0;
  // The local address and interface a connection pinned to this one must use.
  virtual std::expected<platform::PinnedRoute, std::error_code> pinnedRoute() const = 0;
};

// A platform TCP connection as a stream.
class TcpStream final : public StreamConnection {
 public:
  explicit TcpStream(std::shared_ptr<platform::TcpConnection> connection)
      : connection_(std::move(connection)) {}

  void setStateHandler(StateHandler handler) override {
    connection_->set_state_handler(std::move(handler));
  }
  void start() override { connection_->start(); }
  void receive(size_t maximum, ReceiveHandler handler) override {
    connection_->receive(maximum, std::move(handler));
  }
  void send(std::vector<uint8_t> bytes, SendCompletion completion) override {
    connection_->send(std::move(bytes), std::move(completion));
  }
  void cancel() override { connection_->cancel(); }
  std::optional<platform::Endpoint> localEndpoint() const override {
    return connection_->local_endpoint();
  }
  std::optional<platform::Endpoint> remoteEndpoint() const override {
    return connection_->remote_endpoint();
  }
  std::expected<platform::PinnedRoute, std::error_code> pinnedRoute() const override {
    return connection_->pinned_route();
  }

 private:
  std::shared_ptr<platform::TcpConnection> connection_;
};

}  // namespace velmorine::network
