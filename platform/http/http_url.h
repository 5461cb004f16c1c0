#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmorine::platform {

// The parts of an absolute URL as the HTTP layer reads it. The path is kept as written (no dot
// segments removed); the scheme comes back in lower case whatever its case in the text.
struct UrlParts {
  std::string scheme;
  std::string host;
  std::string path;  // "/" when the URL has none
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> port;  // only an explicit one
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

// Nothing for text that is not an absolute URL with a host.
std::optional<UrlParts> parse_url(std::string_view text);

}  // namespace velmorine::platform
