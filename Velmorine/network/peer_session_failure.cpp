#include "Velmorine/network/peer_session_failure.h"

namespace velmorine::network {

std::string_view caseName(PeerSessionFailure::Case failure) {
  switch (failure) {
    case PeerSessionFailure::Case::invalidHello:
      return "invalidHello";
    case PeerSessionFailure::Case::unexpectedFrame:
      return "unexpectedFrame";
    case PeerSessionFailure::Case::identityMismatch:
      return "identityMismatch";
    case PeerSessionFailure::Case::timeout:
      return "timeout";
  }
  return "unknown";
}

const char* PeerSessionFailure::what() const noexcept { return caseName(case_).data(); }

}  // namespace velmorine::network
