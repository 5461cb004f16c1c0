#include "platform/http/http_url.h"

#include <curl/curl.h>

#include <memory>

namespace velmorine::platform {

namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

std::optional<UrlParts> parse_url(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::unique_ptr<CURLU, UrlHandleDeleter> url(curl_url());
  if (!url) return std::nullopt;
  const std::string terminated(text);
  if (curl_url_set(url.get(), CURLUPART_URL, terminated.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) {
    return std::nullopt;
  }
  UrlParts parts;
  auto scheme = part(url.get(), CURLUPART_SCHEME);
  auto host = part(url.get(), CURLUPART_HOST);
  if (!scheme || !host || host->empty()) return std::nullopt;
  parts.scheme = std::move(*scheme);
  parts.host = std::move(*host);
  parts.path = part(url.get(), CURLUPART_PATH).value_or("/");
  parts.user = part(url.get(), CURLUPART_USER);
  parts.password = part(url.get(), CURLUPART_PASSWORD);
  parts.port = part(url.get(), CURLUPART_PORT);
  parts.query = part(url.get(), CURLUPART_QUERY);
  parts.fragment = part(url.get(), CURLUPART_FRAGMENT);
  return parts;
}

}  // namespace velmorine::platform
