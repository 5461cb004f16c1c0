#include "platform/net/tcp_listener.h"

#include <asio/bind_executor.hpp>
#include <chrono>

namespace velmorine::platform {

TcpListener::TcpListener(SerialQueue& queue)
    : queue_(queue), acceptor_(queue.context()), backoff_(queue.context()) {}

TcpListener::~TcpListener() {
  std::error_code ignored;
  acceptor_.close(ignored);
  backoff_.cancel();
}

std::shared_ptr<TcpListener> TcpListener::open(SerialQueue& queue, uint16_t port,
                                               std::error_code& error) {
  queue.assert_current();
  error.clear();
  std::shared_ptr<TcpListener> listener(new TcpListener(queue));
  const asio::ip::tcp::endpoint local(asio::ip::address_v4::any(), port);
  auto& acceptor = listener->acceptor_;
  acceptor.open(local.protocol(), error);
  if (!error) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(local, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) return nullptr;
  listener->port_ = acceptor.local_endpoint(error).port();
  if (error) return nullptr;
  return listener;
}

void TcpListener::start(AcceptHandler on_accept) {
  queue_.assert_current();
  on_accept_ = std::move(on_accept);
  accept_next();
}

void TcpListener::cancel() {
  queue_.assert_current();
  cancelled_ = true;
  on_accept_ = nullptr;
  std::error_code ignored;
  acceptor_.close(ignored);
  backoff_.cancel();
}

void TcpListener::accept_next() {
  if (cancelled_) return;
  acceptor_.async_accept(asio::bind_executor(
      queue_.executor(),
      [weak = weak_from_this()](const std::error_code& error, asio::ip::tcp::socket socket) {
        auto self = weak.lock();
        if (!self || self->cancelled_) return;
        if (error) {
          // Out of descriptors or a transient refusal: try again shortly rather than spin.
          self->backoff_.expires_after(std::chrono::milliseconds(100));
          self->backoff_.async_wait(
              asio::bind_executor(self->queue_.executor(), [weak](const std::error_code& waited) {
                auto again = weak.lock();
                if (again && !waited) again->accept_next();
              }));
          return;
        }
        auto connection = TcpConnection::accepted(self->queue_, std::move(socket));
        if (self->on_accept_) {
          auto handler = self->on_accept_;
          handler(std::move(connection));
        }
        self->accept_next();
      }));
}

}  // namespace velmorine::platform
