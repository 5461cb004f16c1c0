#pragma once

#include <string>
#include <string_view>

namespace velmorine {

// Set at build time; error domains, queue labels and keychain services hang off it.
inline constexpr std::string_view kProductIdentifier = VELMORINE_PRODUCT_IDENTIFIER;

// "<product identifier>.<role>", the shape of every error domain and queue label.
inline std::string product_scoped(std::string_view role) {
  std::string scoped(kProductIdentifier);
  scoped += '.';
  scoped += role;
  return scoped;
}

}  // namespace velmorine
