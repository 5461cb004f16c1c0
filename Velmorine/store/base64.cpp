#include "Velmorine/store/base64.h"

#include <array>

namespace velmorine::store {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_values() {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return values;
}

constexpr auto kValues = make_values();

}  // namespace

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    text.push_back(kAlphabet[group >> 18 & 63]);
    text.push_back(kAlphabet[group >> 12 & 63]);
    text.push_back(kAlphabet[group >> 6 & 63]);
    text.push_back(kAlphabet[group & 63]);
  }
  const std::size_t left = bytes.size() - i;
  if (left == 1) {
    const std::uint32_t group = bytes[i] << 16;
    text.push_back(kAlphabet[group >> 18 & 63]);
    text.push_back(kAlphabet[group >> 12 & 63]);
    text.append("==");
  } else if (left == 2) {
    const std::uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8;
    text.push_back(kAlphabet[group >> 18 & 63]);
    text.push_back(kAlphabet[group >> 12 & 63]);
    text.push_back(kAlphabet[group >> 6 & 63]);
    text.push_back('=');
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      std::int8_t value = 0;
      if (j < digits) {
        value = kValues[static_cast<unsigned char>(text[i + j])];
        if (value < 0) return std::nullopt;
      }
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (digits >= 3) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (digits == 4) bytes.push_back(static_cast<std::uint8_t>(group));
    // Bits below the last whole byte must be zero, so each byte string has one text.
    if ((digits == 2 && (group & 0xffff) != 0) || (digits == 3 && (group & 0xff) != 0)) {
      return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace velmorine::store
