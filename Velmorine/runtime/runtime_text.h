#pragma once

#include <string>
#include <string_view>

namespace velmorine::runtime {

// Identifiers are compared and keyed in lower case (ASCII; they are UUID texts). Keys are made
// for every message of every snapshot, so this stays clear of the locale.
inline char loweredASCII(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline void appendLowered(std::string& into, std::string_view text) {
  for (const char c : text) into += loweredASCII(c);
}

inline std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = loweredASCII(c);
  return result;
}

}  // namespace velmorine::runtime
