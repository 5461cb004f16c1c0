#include "Velmorine/transfer/content_url.h"

#include <vector>

namespace velmorine::transfer {

namespace {

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

// Splits "/a//b/./c/" into its non-empty components.
std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

ContentUrl ContentUrl::file(const std::filesystem::path& absolute, bool directory) {
  ContentUrl url;
  url.file_ = true;
  std::string text = absolute.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.empty()) text.push_back('/');
  url.path_ = text;
  url.directory_ = directory || text == "/";
  return url;
}

std::optional<ContentUrl> ContentUrl::parse(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = text[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!letter && !(i > 0 && other)) return std::nullopt;
  }
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) scheme.push_back(lower(text[i]));
  if (scheme != "file") {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    ContentUrl url;
    url.other_ = std::string(text);
    return url;
  }
  std::string_view rest = text.substr(colon + 1);
  if (!rest.starts_with("//")) return std::nullopt;
  rest.remove_prefix(2);
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  std::string_view encoded = rest.substr(slash);
  if (encoded.find_first_of("?#") != std::string_view::npos) return std::nullopt;
  const auto decoded = percentDecode(encoded);
  if (!decoded) return std::nullopt;
  return file(*decoded, decoded->size() > 1 && decoded->back() == '/');
}

std::string ContentUrl::text() const {
  if (!file_) return other_;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path_.string()) {
    if (unreserved(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (directory_ && out.back() != '/') out.push_back('/');
  return out;
}

std::string ContentUrl::lastPathComponent() const {
  if (!file_) return {};
  const auto parts = components(path_.string());
  return parts.empty() ? "/" : parts.back();
}

ContentUrl ContentUrl::appending(std::string_view component, bool directory) const {
  std::string text = path_.string();
  if (text.back() != '/') text.push_back('/');
  text.append(component);
  return file(text, directory);
}

ContentUrl ContentUrl::standardized() const {
  if (!file_) return *this;
  std::vector<std::string> kept;
  for (auto& part : components(path_.string())) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(part));
  }
  std::string text;
  for (const auto& part : kept) {
    text.push_back('/');
    text += part;
  }
  return file(text.empty() ? "/" : text, directory_);
}

}  // namespace velmorine::transfer
