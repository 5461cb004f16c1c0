#pragma once

// Why the trust service refused a key or a user's trust action.

#include <exception>
#include <string_view>

namespace velmorine::network {

class TrustFailure : public std::exception {
 public:
  enum class Case {
    blocked,          // the contact, or the device's claimed contact, is blocked
    changedKey,       // the key differs from the pinned one; every refusal of markVerified
    invalidIdentity,  // not UUID text, not a 32-byte key, or no such contact to block
  };

  explicit TrustFailure(Case failure) : case_(failure) {}

  Case failure() const { return case_; }
  const char* what() const noexcept override;

  friend bool operator==(const TrustFailure& a, const TrustFailure& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

std::string_view caseName(TrustFailure::Case failure);

}  // namespace velmorine::network
