#pragma once

#include <cstdint>
#include <string>

namespace velmorine {

// The error value of the VE bridge classes: a domain ("<product identifier>.<role>"), a code
// whose meaning the domain fixes, and a description that may be empty.
struct VEError {
  std::string domain;
  int64_t code = 0;
  std::string description;

  friend bool operator==(const VEError&, const VEError&) = default;
};

}  // namespace velmorine
