#pragma once

// Identifiers (UUID texts) are compared and keyed in one case. They are ASCII, and keys are made
// for every row of every snapshot, so this stays clear of the locale.

#include <string>
#include <string_view>

namespace velmorine::core {

inline char loweredASCII(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
inline char upperedASCII(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

inline void appendLowered(std::string& into, std::string_view text) {
  for (const char c : text) into += loweredASCII(c);
}

inline std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = loweredASCII(c);
  return result;
}

inline std::string uppered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = upperedASCII(c);
  return result;
}

}  // namespace velmorine::core
