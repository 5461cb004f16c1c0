#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace velmorine::runtime {

// Identifiers are compared and keyed in lower case (ASCII; they are UUID texts).
inline std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace velmorine::runtime
