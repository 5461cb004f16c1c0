#include "Velmorine/network/trust_failure.h"

namespace velmorine::network {

std::string_view caseName(TrustFailure::Case failure) {
  switch (failure) {
    case TrustFailure::Case::blocked:
      return "blocked";
    case TrustFailure::Case::changedKey:
      return "changedKey";
    case TrustFailure::Case::invalidIdentity:
      return "invalidIdentity";
  }
  return "unknown";
}

const char* TrustFailure::what() const noexcept { return caseName(case_).data(); }

}  // namespace velmorine::network
