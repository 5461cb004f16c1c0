#pragma once

// Helpers shared by the primitive tests: hex literals, a seeded byte source, and OpenSSL run
// as a black-box reference.

#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace velmorine::secure::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes from_hex(std::string_view hex) {
  Bytes out;
  int high = -1;
  for (const char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      continue;  // spaces and colons as the RFCs print them
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

inline std::string to_hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

inline Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Deterministic pseudo-random bytes so that a failure reproduces.
class SeededBytes {
 public:
  explicit SeededBytes(std::uint64_t seed) : engine_(seed) {}
  Bytes next(std::size_t length) {
    Bytes out(length);
    for (auto& b : out) b = static_cast<std::uint8_t>(engine_());
    return out;
  }
  std::size_t below(std::size_t bound) { return engine_() % bound; }

 private:
  std::mt19937_64 engine_;
};

// Lengths around every block and lane boundary up to a few SIMD strides, then sparser.
inline std::vector<std::size_t> interesting_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 600; ++n) lengths.push_back(n);
  for (std::size_t n = 601; n <= 2100; n += 7) lengths.push_back(n);
  return lengths;
}

// Mostly 0..2100 bytes, one draw in four past one 61,440-byte record.
inline std::size_t random_length(SeededBytes& random) {
  return random.below(4) == 0 ? 61440 + random.below(4000) : random.below(2101);
}

// Cuts `length` into pieces of random size, some of them empty.
inline std::vector<std::size_t> random_pieces(SeededBytes& random, std::size_t length) {
  std::vector<std::size_t> pieces;
  while (length != 0) {
    const std::size_t piece = std::min(random.below(1500), length);
    pieces.push_back(piece);
    length -= piece;
  }
  return pieces;
}

inline Bytes openssl_digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MD_size(md));
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
  out.resize(length);
  return out;
}

}  // namespace velmorine::secure::testing
