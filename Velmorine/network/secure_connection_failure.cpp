#include "Velmorine/network/secure_connection_failure.h"

namespace velmorine::network {

SecureConnectionFailure SecureConnectionFailure::network(std::error_code error) {
  SecureConnectionFailure failure(Case::network);
  failure.network_error_ = error;
  return failure;
}

SecureConnectionFailure SecureConnectionFailure::crypto(std::exception_ptr error) {
  SecureConnectionFailure failure(Case::crypto);
  failure.crypto_error_ = std::move(error);
  return failure;
}

const char* SecureConnectionFailure::what() const noexcept {
  switch (kind_) {
    case Case::network:
      return "network";
    case Case::crypto:
      return "crypto";
    case Case::timeout:
      return "timeout";
    case Case::closed:
      return "closed";
    case Case::capacity:
      return "capacity";
    case Case::truncated:
      return "truncated";
  }
  return "secure connection failure";
}

bool SecureConnectionFailure::shouldTryNextRoute(const std::exception& error) {
  const auto* failure = dynamic_cast<const SecureConnectionFailure*>(&error);
  return failure != nullptr &&
         (failure->kind() == Case::network || failure->kind() == Case::timeout);
}

}  // namespace velmorine::network
