#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::core {

// A 16-byte identifier of a device, message or frame, kept in the order of its text form.
// The all-zero value is the nil identifier.
class Uuid {
 public:
  using Bytes = std::array<uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // 36 characters, 8-4-4-4-12 hexadecimal digits of either case separated by "-".
  static std::optional<Uuid> parse(std::string_view text);

  // A fresh random (version 4) identifier from the system random source.
  static Uuid random();

  // The lower-case 8-4-4-4-12 text form.
  std::string to_string() const;

  bool is_nil() const;
  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace velmorine::core

template <>
struct std::hash<velmorine::core::Uuid> {
  size_t operator()(const velmorine::core::Uuid& uuid) const noexcept {
    size_t value = 0;
    for (uint8_t byte : uuid.bytes()) value = value * 131 + byte;
    return value;
  }
};
