#pragma once

// A TCP listener on the IPv4 wildcard address, on a given port or on any port (0). Each
// accepted connection (TCP_NODELAY on) is handed to the owner on the queue, not yet started.

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "platform/dispatch/serial_queue.h"
#include "platform/net/tcp_connection.h"

namespace velmorine::platform {

class TcpListener : public std::enable_shared_from_this<TcpListener> {
 public:
  using AcceptHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

  // On the queue. Bound and listening on return, so `port` is known at once.
  static std::shared_ptr<TcpListener> open(SerialQueue& queue, uint16_t port,
                                           std::error_code& error);
  ~TcpListener();

  void start(AcceptHandler on_accept);
  void cancel();
  uint16_t port() const { return port_; }

 private:
  explicit TcpListener(SerialQueue& queue);
  void accept_next();

  SerialQueue& queue_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer backoff_;
  AcceptHandler on_accept_;
  uint16_t port_ = 0;
  bool cancelled_ = false;
};

}  // namespace velmorine::platform
