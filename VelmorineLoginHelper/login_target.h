#pragma once

// Where and as what the login helper is installed, and the main program it opens:
// <prefix>/libexec/velmorine/velmorine-login-helper opens <prefix>/bin/velmorine, whose
// <prefix>/share/velmorine/Info.json names the identifier the helper's own stands for.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::login {

inline constexpr std::string_view kHelperSuffix = ".LoginHelper";
inline constexpr std::string_view kHelperPlace = "libexec/velmorine/velmorine-login-helper";

struct LoginTarget {
  std::filesystem::path mainProgram;  // <prefix>/bin/velmorine
  std::string identifier;             // the main program's identifier (its bus name)

  // Nothing when the identifier lacks the suffix or leaves nothing before it, when the
  // helper's path (lexically normalised) does not end in the helper's place, when the prefix's
  // bin/velmorine is not a regular executable file, or when the prefix's Info.json does not carry
  // the main identifier.
  static std::optional<LoginTarget> resolve(const std::filesystem::path& helperPath,
                                            std::optional<std::string_view> identifier);
};

}  // namespace velmorine::login
