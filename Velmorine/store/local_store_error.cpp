#include "Velmorine/store/local_store_error.h"

namespace velmorine::store {

std::string_view caseName(LocalStoreError::Case errorCase) {
  switch (errorCase) {
    case LocalStoreError::Case::newerSchema:
      return "newerSchema";
    case LocalStoreError::Case::keychain:
      return "keychain";
    case LocalStoreError::Case::corrupt:
      return "corrupt";
    case LocalStoreError::Case::identityMissing:
      return "identityMissing";
    case LocalStoreError::Case::identityMismatch:
      return "identityMismatch";
    case LocalStoreError::Case::alreadyRunning:
      return "alreadyRunning";
    case LocalStoreError::Case::capacity:
      return "capacity";
  }
  return "unknown";
}

LocalStoreError::LocalStoreError(Case errorCase, std::int64_t payload)
    : case_(errorCase), payload_(payload) {
  description_ = "LocalStoreError.";
  description_.append(caseName(errorCase));
  if (errorCase == Case::newerSchema || errorCase == Case::keychain) {
    description_.push_back('(');
    description_.append(std::to_string(payload));
    description_.push_back(')');
  }
}

}  // namespace velmorine::store
