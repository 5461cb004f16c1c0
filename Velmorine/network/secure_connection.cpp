#include "Velmorine/network/secure_connection.h"

#include <utility>

#include "Velmorine/network/bridge_error.h"

namespace velmorine::network {

namespace {

SecureConnectionFailure unreachable() {
  return SecureConnectionFailure::network(std::make_error_code(std::errc::network_unreachable));
}

}  // namespace

SecureConnection::SecureConnection(std::unique_ptr<StreamConnection> stream,
                                   std::unique_ptr<VESecureChannel> channel,
                                   platform::SerialQueue& queue,
                                   std::shared_ptr<NetworkOutputBudget> budget)
    : id_(core::Uuid::random()),
      endpoint_(stream->remoteEndpoint()),
      queue_(queue),
      connection_(std::move(stream)),
      crypto_(std::move(channel)),
      budget_(std::move(budget)) {}

std::shared_ptr<SecureConnection> SecureConnection::over(
    std::unique_ptr<StreamConnection> stream, std::unique_ptr<VESecureChannel> channel,
    platform::SerialQueue& queue, std::shared_ptr<NetworkOutputBudget> budget) {
  return std::shared_ptr<SecureConnection>(
      new SecureConnection(std::move(stream), std::move(channel), queue, std::move(budget)));
}

std::shared_ptr<SecureConnection> SecureConnection::dial(
    const std::string& host, uint16_t port, std::shared_ptr<const VEIdentity> identity,
    uint32_t purpose, platform::SerialQueue& queue, std::shared_ptr<NetworkOutputBudget> budget,
    const SecureConnection* pinTo) {
  std::optional<platform::PinnedRoute> pin;
  if (pinTo != nullptr) {
    // A data connection leaves by the same local address and interface as its control
    // connection, so the peer sees both arrive from the same place.
    if (pinTo->closed_) throw unreachable();
    auto route = pinTo->connection_->pinnedRoute();
    if (!route) throw unreachable();
    pin = std::move(*route);
  }
  if (port == 0) throw SecureConnectionFailure::closed();
  auto tcp = platform::TcpConnection::dial(queue, host, port, std::move(pin));
  auto channel = VESecureChannel::withIdentity(std::move(identity), true, purpose);
  if (!channel) throw BridgeError(channel.error());
  return over(std::make_unique<TcpStream>(std::move(tcp)), std::move(*channel), queue,
              std::move(budget));
}

std::shared_ptr<SecureConnection> SecureConnection::accepted(
    std::shared_ptr<platform::TcpConnection> connection, std::shared_ptr<const VEIdentity> identity,
    platform::SerialQueue& queue, std::shared_ptr<NetworkOutputBudget> budget) {
  auto channel = VESecureChannel::withIdentity(std::move(identity), false, 0);
  if (!channel) {
    connection->cancel();
    return nullptr;
  }
  return over(std::make_unique<TcpStream>(std::move(connection)), std::move(*channel), queue,
              std::move(budget));
}

SecureConnection::~SecureConnection() {
  timeout_.reset();
  if (!closed_ && queue_.is_current()) connection_->cancel();
  crypto_->close();
  if (queuedBytes_ > 0 && budget_) budget_->giveBack(queuedBytes_);
}

void SecureConnection::start() {
  queue_.assert_current();
  if (started_ || closed_) return;
  started_ = true;
  std::weak_ptr<SecureConnection> weak = weak_from_this();
  connection_->setStateHandler([weak](StreamConnection::State state, std::error_code error) {
    if (auto self = weak.lock()) self->handleState(state, error);
  });
  timeout_ = std::make_unique<platform::Timer>(queue_, [weak] {
    if (auto self = weak.lock()) self->close(SecureConnectionFailure::timeout());
  });
  timeout_->schedule(kHandshakeDeadline);
  connection_->start();
}

void SecureConnection::handleState(StreamConnection::State state, std::error_code error) {
  if (closed_) return;
  switch (state) {
    case StreamConnection::State::ready:
      try {
        handshakeStep();
      } catch (...) {
        closeWithCurrentException();
        return;
      }
      requestReceive();
      break;
    case StreamConnection::State::failed:
      close(SecureConnectionFailure::network(error));
      break;
    case StreamConnection::State::cancelled:
      close(SecureConnectionFailure::closed());
      break;
    case StreamConnection::State::setup:
    case StreamConnection::State::preparing:
      // A connection that never gets ready is ended by the handshake deadline.
      break;
  }
}

void SecureConnection::closeWithCurrentException() {
  close(SecureConnectionFailure::crypto(std::current_exception()));
}

void SecureConnection::handshakeStep() {
  auto output = crypto_->takeHandshakeOutput();
  if (!output) throw BridgeError(output.error());
  if (!output->empty()) enqueue(std::move(*output));
  if (crypto_->established() && !notifiedEstablishment_) {
    notifiedEstablishment_ = true;
    timeout_.reset();
    const auto& remoteKey = crypto_->remotePublicKey();
    const auto& transcript = crypto_->transcriptHash();
    if (remoteKey.empty() || transcript.empty()) throw SecureConnectionFailure::closed();
    if (onEstablished) {
      auto established = onEstablished;
      established(remoteKey, transcript);
    }
  }
}

void SecureConnection::requestReceive() {
  if (closed_ || readingPaused_ || readPending_) return;
  readPending_ = true;
  std::weak_ptr<SecureConnection> weak = weak_from_this();
  connection_->receive(
      crypto_->established() ? kReceiveLimit : kHandshakeReceiveLimit,
      [weak](std::span<const uint8_t> content, bool endOfStream, std::error_code error) {
        if (auto self = weak.lock()) self->handleReceive(content, endOfStream, error);
      });
}

void SecureConnection::handleReceive(std::span<const uint8_t> content, bool endOfStream,
                                     std::error_code error) {
  if (closed_) return;
  readPending_ = false;
  if (!content.empty()) {
    auto records = crypto_->receive(content);
    if (!records) {
      close(SecureConnectionFailure::crypto(std::make_exception_ptr(BridgeError(records.error()))));
      return;
    }
    try {
      handshakeStep();
    } catch (...) {
      closeWithCurrentException();
      return;
    }
    for (auto& record : *records) {
      if (closed_) return;
      if (onPlaintext) {
        auto plaintext = onPlaintext;
        plaintext(std::move(record));
      }
    }
    if (closed_) return;
  }
  if (error) {
    close(SecureConnectionFailure::network(error));
  } else if (endOfStream) {
    close(crypto_->finish() ? SecureConnectionFailure::closed()
                            : SecureConnectionFailure::truncated());
  } else {
    requestReceive();
  }
}

bool SecureConnection::send(std::span<const uint8_t> plaintext) {
  const std::span<const uint8_t> whole[] = {plaintext};
  return send(whole);
}

bool SecureConnection::send(std::span<const std::span<const uint8_t>> pieces) {
  queue_.assert_current();
  size_t size = 0;
  for (const auto& piece : pieces) size += piece.size();
  if (closed_ || !crypto_->established() || size == 0 || size > kPlaintextLimit) {
    return false;
  }
  const size_t estimate = sendEstimate(size);
  if (queuedBytes_ + estimate > kOutputLimit) return false;
  if (budget_ && !budget_->hasRoomFor(estimate)) return false;
  auto sealed = crypto_->encrypt(pieces);
  if (!sealed) {
    close(SecureConnectionFailure::crypto(std::make_exception_ptr(BridgeError(sealed.error()))));
    return false;
  }
  try {
    enqueue(std::move(*sealed));
  } catch (...) {
    closeWithCurrentException();
    return false;
  }
  return true;
}

void SecureConnection::enqueue(std::vector<uint8_t> chunk) {
  const size_t size = chunk.size();
  if (closed_ || kOutputLimit - queuedBytes_ < size) throw SecureConnectionFailure::capacity();
  if (budget_ && !budget_->reserve(size)) throw SecureConnectionFailure::capacity();
  output_.push_back(std::move(chunk));
  queuedBytes_ += size;
  writeNext();
}

void SecureConnection::writeNext() {
  if (closed_ || writing_ || outputHead_ >= output_.size()) return;
  writing_ = true;
  // The bytes move to the platform without a copy; the chunk stays counted as queued until
  // the platform has taken it.
  std::vector<uint8_t> chunk = std::move(output_[outputHead_]);
  const size_t size = chunk.size();
  std::weak_ptr<SecureConnection> weak = weak_from_this();
  connection_->send(std::move(chunk), [weak, size](std::error_code error) {
    if (auto self = weak.lock()) self->handleWritten(size, error);
  });
}

void SecureConnection::handleWritten(size_t size, std::error_code error) {
  if (closed_) return;
  if (error) {
    close(SecureConnectionFailure::network(error));
    return;
  }
  queuedBytes_ -= size;
  if (budget_) budget_->giveBack(size);
  output_[outputHead_] = {};
  ++outputHead_;
  writing_ = false;
  if (outputHead_ == output_.size()) {
    output_.clear();
    outputHead_ = 0;
  } else if (outputHead_ >= kCompactAfter) {
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(outputHead_));
    outputHead_ = 0;
  }
  writeNext();
  if (onWritable) {
    auto writable = onWritable;
    writable();
  }
}

void SecureConnection::close(const SecureConnectionFailure& failure) {
  if (closed_) return;
  closed_ = true;
  timeout_.reset();
  connection_->setStateHandler(nullptr);
  connection_->cancel();
  crypto_->close();
  if (budget_) budget_->giveBack(queuedBytes_);
  output_.clear();
  outputHead_ = 0;
  queuedBytes_ = 0;
  auto failed = std::move(onFailure);
  onFailure = nullptr;
  onEstablished = nullptr;
  onPlaintext = nullptr;
  onWritable = nullptr;
  if (failed) failed(failure);
}

void SecureConnection::resumeReading() {
  queue_.assert_current();
  readingPaused_ = false;
  if (!started_) return;
  requestReceive();
}

std::optional<platform::Endpoint> SecureConnection::localEndpoint() const {
  if (closed_) return std::nullopt;
  return connection_->localEndpoint();
}

bool SecureConnection::isOnInterfaces(const std::vector<DiscoveryInterface>& interfaces) const {
  const auto local = localEndpoint();
  if (!local) return false;
  const auto address = local->ipv4();
  if (!address) return false;
  for (const auto& interface : interfaces) {
    if (interface.address == *address) return true;
  }
  return false;
}

}  // namespace velmorine::network
