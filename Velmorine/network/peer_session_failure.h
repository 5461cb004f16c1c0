#pragma once

// The reasons a peer session closes that are its own; it also closes with the errors of its
// connection, its frame decoder, the JSON reader, the trust service and the route parser.

#include <exception>
#include <string_view>

namespace velmorine::network {

class PeerSessionFailure : public std::exception {
 public:
  enum class Case { invalidHello, unexpectedFrame, identityMismatch, timeout };

  explicit PeerSessionFailure(Case failure) : case_(failure) {}

  Case failure() const { return case_; }
  const char* what() const noexcept override;

  friend bool operator==(const PeerSessionFailure& a, const PeerSessionFailure& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

std::string_view caseName(PeerSessionFailure::Case failure);

}  // namespace velmorine::network
