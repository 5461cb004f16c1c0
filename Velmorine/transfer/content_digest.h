#pragma once

// SHA-256 of file contents, written as the manifest writes it: 64 lower-case hexadecimal digits.

#include <cstdint>
#include <span>
#include <string>

#include "native/secure/primitives/sha256.h"

namespace velmorine::transfer {

// Two digits per byte ("%02x"), no separator.
std::string sha256Hex(std::span<const std::uint8_t> digest);

// A running SHA-256 over bytes fed in pieces.
class ContentDigest {
 public:
  ContentDigest() { reset(); }

  void reset() { secure::sha256_reset(&state_); }
  void update(std::span<const std::uint8_t> bytes) {
    secure::sha256_update(&state_, bytes.data(), bytes.size());
  }
  // The digest of the bytes so far; the running state is left as it is.
  std::string hexOfCopy() const;

 private:
  secure::Sha256State state_;
};

}  // namespace velmorine::transfer
