#pragma once

// The error that ends a secure connection, and the one question the dialler asks of it:
// whether another route of the same peer is worth a try.

#include <exception>
#include <system_error>

namespace velmorine::network {

class SecureConnectionFailure : public std::exception {
 public:
  enum class Case { network, crypto, timeout, closed, capacity, truncated };

  // `network` carries the platform's error, `crypto` any error.
  static SecureConnectionFailure network(std::error_code error);
  static SecureConnectionFailure crypto(std::exception_ptr error);
  static SecureConnectionFailure timeout() { return SecureConnectionFailure(Case::timeout); }
  static SecureConnectionFailure closed() { return SecureConnectionFailure(Case::closed); }
  static SecureConnectionFailure capacity() { return SecureConnectionFailure(Case::capacity); }
  static SecureConnectionFailure truncated() { return SecureConnectionFailure(Case::truncated); }

  Case kind() const { return kind_; }
  const std::error_code& networkError() const { return network_error_; }
  const std::exception_ptr& cryptoError() const { return crypto_error_; }
  const char* what() const noexcept override;

  // True only for a `SecureConnectionFailure` that is `network` or `timeout`: a route that
  // could not be reached; any other failure would repeat on another route of the same peer.
  static bool shouldTryNextRoute(const std::exception& error);

 private:
  explicit SecureConnectionFailure(Case kind) : kind_(kind) {}

  Case kind_;
  std::error_code network_error_;
  std::exception_ptr crypto_error_;
};

}  // namespace velmorine::network
