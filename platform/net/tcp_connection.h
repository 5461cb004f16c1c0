#pragma once

// One TCP stream connection on a serial queue, outgoing or accepted: no TLS, TCP_NODELAY on.
// It follows the shape of a platform stream connection: a state handler (preparing, ready,
// failed, cancelled), receive requests that deliver one chunk each, sends with a completion,
// and cancel. Reading is driven by the owner: nothing is read without a receive request, so
// an owner pauses reading by not asking. Every operation and callback runs on the queue;
// after `cancel` only the state handler hears of the connection again (once, `cancelled`).

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/dispatch/serial_queue.h"
#include "platform/net/endpoint.h"

namespace velmorine::platform {

enum class ConnectionState { setup, preparing, ready, failed, cancelled };

// The local end an outgoing connection is pinned to: an IPv4 address and the device that holds
// it, so that a second connection leaves by the same interface as the first.
struct PinnedRoute {
  uint32_t local_address = 0;  // network byte order
  std::string interface_name;
  uint32_t interface_index = 0;

  friend bool operator==(const PinnedRoute&, const PinnedRoute&) = default;
};

class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
 public:
  using StateHandler = std::function<void(ConnectionState, std::error_code)>;
  // Exactly one of: content of 1 to `maximum` bytes, the end of the stream, or an error. The
  // content lies in the connection's receive buffer and is valid only during the call.
  using ReceiveHandler =
      std::function<void(std::span<const uint8_t> content, bool end_of_stream, std::error_code)>;
  using SendCompletion = std::function<void(std::error_code)>;

  // An outgoing connection to `host` (IPv4 or IPv6 text) and `port`; nothing happens before
  // `start`. With a pin the socket is bound to the pinned device and local address first.
  static std::shared_ptr<TcpConnection> dial(SerialQueue& queue, std::string host, uint16_t port,
                                             std::optional<PinnedRoute> pin = std::nullopt);
  // Wraps a socket that a listener accepted; `start` reports it ready.
  static std::shared_ptr<TcpConnection> accepted(SerialQueue& queue, asio::ip::tcp::socket socket);

  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Installs (or, with nullptr, removes) the state handler.
  void set_state_handler(StateHandler handler);
  void start();
  // At most one receive is outstanding; `maximum` is at least 1 and is the size of the buffer
  // the connection holds while it waits, so an owner with little to expect asks for little.
  void receive(size_t maximum, ReceiveHandler handler);
  // Writes the whole buffer; sends complete in the order they were made.
  void send(std::vector<uint8_t> bytes, SendCompletion completion);
  void cancel();

  ConnectionState state() const { return state_; }
  std::optional<Endpoint> local_endpoint() const;
  // The peer of an accepted connection, the dialled host and port of an outgoing one.
  std::optional<Endpoint> remote_endpoint() const;

  // The route a second connection must take to leave as this one does: its local IPv4 address
  // and the interface that holds it. ENETUNREACH when this connection is closed, has no local
  // IPv4 endpoint, or its address is on no interface that is up.
  std::expected<PinnedRoute, std::error_code> pinned_route() const;

 private:
  TcpConnection(SerialQueue& queue, asio::ip::tcp::socket socket);
  void set_state(ConnectionState state, std::error_code error = {});
  void connect();
  void read(size_t maximum, ReceiveHandler handler);
  void write_next();

  struct PendingSend {
    std::shared_ptr<std::vector<uint8_t>> bytes;
    SendCompletion completion;
  };

  SerialQueue& queue_;
  asio::ip::tcp::socket socket_;
  StateHandler on_state_;
  ConnectionState state_ = ConnectionState::setup;
  bool outgoing_ = false;
  bool receiving_ = false;
  // Reused from one receive to the next and never zero-filled; as large as the last request.
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffer_size_ = 0;
  // While a handler runs its content is in the buffer: a receive it asks for starts after it.
  bool delivering_ = false;
  std::optional<std::pair<size_t, ReceiveHandler>> deferred_;
  std::string host_;
  uint16_t port_ = 0;
  std::optional<PinnedRoute> pin_;
  std::deque<PendingSend> sends_;
  bool writing_ = false;
};

}  // namespace velmorine::platform
