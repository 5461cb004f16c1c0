#pragma once

// An error object of the native bridge classes (channel, frame decoder) as a thrown error, so
// that it can end a connection or a session like any other failure.

#include <exception>
#include <string>

#include "native/protocol/ve_error.h"

namespace velmorine::network {

class BridgeError : public std::exception {
 public:
  explicit BridgeError(VEError error)
      : error_(std::move(error)),
        text_(error_.domain + " " + std::to_string(error_.code) +
              (error_.description.empty() ? "" : " " + error_.description)) {}

  const VEError& error() const { return error_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  VEError error_;
  std::string text_;
};

}  // namespace velmorine::network
