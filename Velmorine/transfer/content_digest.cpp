#include "Velmorine/transfer/content_digest.h"

namespace velmorine::transfer {

std::string sha256Hex(std::span<const std::uint8_t> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

std::string ContentDigest::hexOfCopy() const {
  secure::Sha256State copy = state_;
  std::uint8_t digest[secure::kSha256HashLength];
  secure::sha256_finish(&copy, digest);
  return sha256Hex(digest);
}

}  // namespace velmorine::transfer
