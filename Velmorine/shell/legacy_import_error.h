#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace velmorine::shell {

// Why an import of a data folder was refused. Failures of the file system, the store, the
// history and the keychain reach the caller unchanged as their own errors.
class LegacyMacImportError : public std::exception {
 public:
  enum class Case {
    invalidSource,     // not a data folder we take: its name, its kind, a link or special node
    sourceBusy,        // another process holds the source's store
    destinationUsed,   // this device's data folder already holds data, or an import waits
    identityMismatch,  // the source has no identity, or the keychain holds none
    unfinished,        // the source still has receives in progress
  };

  explicit LegacyMacImportError(Case errorCase);

  Case errorCase() const { return case_; }
  const char* what() const noexcept override { return description_.c_str(); }

  friend bool operator==(const LegacyMacImportError& a, const LegacyMacImportError& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
  std::string description_;
};

std::string_view caseName(LegacyMacImportError::Case errorCase);

}  // namespace velmorine::shell
