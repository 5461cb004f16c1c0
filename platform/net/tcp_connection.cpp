#include "platform/net/tcp_connection.h"

#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/bind_executor.hpp>
#include <asio/buffer.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cstring>

#include "platform/net/interfaces.h"

namespace velmorine::platform {

namespace {

std::error_code unreachable() { return std::make_error_code(std::errc::network_unreachable); }

// Errors reach the owner as POSIX errno values in the generic category.
std::error_code posix(const std::error_code& error) {
  if (error && error.category() == asio::error::get_system_category()) {
    return std::error_code(error.value(), std::generic_category());
  }
  return error;
}

std::optional<Endpoint> to_endpoint(const asio::ip::tcp::endpoint& endpoint) {
  return Endpoint{endpoint.address(), endpoint.port()};
}

}  // namespace

TcpConnection::TcpConnection(SerialQueue& queue, asio::ip::tcp::socket socket)
    : queue_(queue), socket_(std::move(socket)) {}

TcpConnection::~TcpConnection() {
  std::error_code ignored;
  socket_.close(ignored);
}

std::shared_ptr<TcpConnection> TcpConnection::dial(SerialQueue& queue, std::string host,
                                                   uint16_t port, std::optional<PinnedRoute> pin) {
  std::shared_ptr<TcpConnection> connection(
      new TcpConnection(queue, asio::ip::tcp::socket(queue.context())));
  connection->outgoing_ = true;
  connection->host_ = std::move(host);
  connection->port_ = port;
  connection->pin_ = std::move(pin);
  return connection;
}

std::shared_ptr<TcpConnection> TcpConnection::accepted(SerialQueue& queue,
                                                       asio::ip::tcp::socket socket) {
  std::shared_ptr<TcpConnection> connection(new TcpConnection(queue, std::move(socket)));
  std::error_code ignored;
  connection->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  return connection;
}

void TcpConnection::set_state_handler(StateHandler handler) { on_state_ = std::move(handler); }

void TcpConnection::set_state(ConnectionState state, std::error_code error) {
  if (state_ == state) return;
  state_ = state;
  // Reported from the queue's loop, never from inside the caller's own call.
  asio::post(queue_.executor(), [weak = weak_from_this(), state, error] {
    auto self = weak.lock();
    if (!self) return;
    if (state != ConnectionState::cancelled && self->state_ == ConnectionState::cancelled) return;
    if (self->on_state_) {
      auto handler = self->on_state_;
      handler(state, error);
    }
  });
}

void TcpConnection::start() {
  queue_.assert_current();
  if (state_ != ConnectionState::setup) return;
  if (!outgoing_) {
    set_state(ConnectionState::ready);
    return;
  }
  set_state(ConnectionState::preparing);
  connect();
}

void TcpConnection::connect() {
  std::error_code error;
  const auto address = asio::ip::make_address(host_, error);
  if (error) {
    set_state(ConnectionState::failed, std::make_error_code(std::errc::invalid_argument));
    return;
  }
  const asio::ip::tcp::endpoint remote(address, port_);
  socket_.open(remote.protocol(), error);
  if (!error && pin_) {
    // Leave by the pinned device and address, as the connection we are pinned to does.
    if (!remote.address().is_v4()) {
      error = unreachable();
    } else if (setsockopt(socket_.native_handle(), SOL_SOCKET, SO_BINDTODEVICE,
                          pin_->interface_name.c_str(),
                          static_cast<socklen_t>(pin_->interface_name.size() + 1)) != 0) {
      error = std::error_code(errno, std::generic_category());
    } else {
      asio::ip::address_v4::bytes_type bytes;
      std::memcpy(bytes.data(), &pin_->local_address, bytes.size());
      socket_.bind(asio::ip::tcp::endpoint(asio::ip::address_v4(bytes), 0), error);
    }
  }
  if (!error) socket_.set_option(asio::ip::tcp::no_delay(true), error);
  if (error) {
    set_state(ConnectionState::failed, posix(error));
    return;
  }
  socket_.async_connect(
      remote, asio::bind_executor(queue_.executor(),
                                  [weak = weak_from_this()](const std::error_code& result) {
                                    auto self = weak.lock();
                                    if (!self || self->state_ != ConnectionState::preparing) return;
                                    if (result) {
                                      self->set_state(ConnectionState::failed, posix(result));
                                    } else {
                                      self->set_state(ConnectionState::ready);
                                    }
                                  }));
}

void TcpConnection::receive(size_t maximum, ReceiveHandler handler) {
  queue_.assert_current();
  if (receiving_ || state_ == ConnectionState::cancelled || maximum == 0) return;
  receiving_ = true;
  if (delivering_) {
    deferred_.emplace(maximum, std::move(handler));
    return;
  }
  read(maximum, std::move(handler));
}

void TcpConnection::read(size_t maximum, ReceiveHandler handler) {
  if (buffer_size_ != maximum) {
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(maximum);
    buffer_size_ = maximum;
  }
  socket_.async_read_some(
      asio::buffer(buffer_.get(), maximum),
      asio::bind_executor(
          queue_.executor(), [weak = weak_from_this(), handler = std::move(handler)](
                                 const std::error_code& error, size_t read) {
            auto self = weak.lock();
            if (!self) return;
            self->receiving_ = false;
            if (self->state_ == ConnectionState::cancelled) return;
            self->delivering_ = true;
            if (error == asio::error::eof) {
              handler({}, true, {});
            } else if (error) {
              handler({}, false, posix(error));
            } else {
              handler(std::span<const uint8_t>(self->buffer_.get(), read), false, {});
            }
            self->delivering_ = false;
            if (auto next = std::move(self->deferred_)) {
              self->deferred_.reset();
              if (self->state_ != ConnectionState::cancelled) {
                self->read(next->first, std::move(next->second));
              }
            }
          }));
}

void TcpConnection::send(std::vector<uint8_t> bytes, SendCompletion completion) {
  queue_.assert_current();
  if (state_ == ConnectionState::cancelled) return;
  sends_.push_back(
      {std::make_shared<std::vector<uint8_t>>(std::move(bytes)), std::move(completion)});
  write_next();
}

void TcpConnection::write_next() {
  if (writing_ || sends_.empty() || state_ == ConnectionState::cancelled) return;
  writing_ = true;
  auto bytes = sends_.front().bytes;
  asio::async_write(
      socket_, asio::buffer(*bytes),
      asio::bind_executor(queue_.executor(), [weak = weak_from_this(), bytes](
                                                 const std::error_code& error, size_t) {
        auto self = weak.lock();
        if (!self) return;
        self->writing_ = false;
        if (self->state_ == ConnectionState::cancelled || self->sends_.empty()) {
          return;
        }
        auto completion = std::move(self->sends_.front().completion);
        self->sends_.pop_front();
        if (completion) completion(posix(error));
        self->write_next();
      }));
}

void TcpConnection::cancel() {
  queue_.assert_current();
  if (state_ == ConnectionState::cancelled) return;
  std::error_code ignored;
  socket_.close(ignored);
  sends_.clear();
  deferred_.reset();
  set_state(ConnectionState::cancelled);
}

std::optional<Endpoint> TcpConnection::local_endpoint() const {
  std::error_code error;
  const auto endpoint = socket_.local_endpoint(error);
  if (error) return std::nullopt;
  return to_endpoint(endpoint);
}

std::optional<Endpoint> TcpConnection::remote_endpoint() const {
  if (outgoing_) {
    std::error_code error;
    const auto address = asio::ip::make_address(host_, error);
    if (error) return std::nullopt;
    return Endpoint{address, port_};
  }
  std::error_code error;
  const auto endpoint = socket_.remote_endpoint(error);
  if (error) return std::nullopt;
  return to_endpoint(endpoint);
}

std::expected<PinnedRoute, std::error_code> TcpConnection::pinned_route() const {
  if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) {
    return std::unexpected(unreachable());
  }
  const auto local = local_endpoint();
  if (!local) return std::unexpected(unreachable());
  const auto address = local->ipv4();
  if (!address) return std::unexpected(unreachable());
  const auto index = interface_index_of(*address);
  if (!index) return std::unexpected(unreachable());
  char name[IF_NAMESIZE] = {};
  if (if_indextoname(*index, name) == nullptr) return std::unexpected(unreachable());
  // The interface must still be usable for a new connection.
  std::error_code error;
  bool up = false;
  for (const auto& entry : ipv4_interface_addresses(error)) {
    if (entry.index == *index && (entry.flags & IFF_UP) != 0) up = true;
  }
  if (!up) return std::unexpected(unreachable());
  return PinnedRoute{*address, name, *index};
}

}  // namespace velmorine::platform
