#include "Velmorine/reminders/reminder_service_url.h"

#include "platform/http/http_url.h"

namespace velmorine::reminders {

namespace {

constexpr std::string_view kScheme = "https://";

bool isSegmentCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// "^(/[A-Za-z0-9_-]+)*/?$"
bool isPlainPath(std::string_view path) {
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] != '/') return false;
    if (i + 1 == path.size()) return true;  // the trailing "/"
    size_t end = i + 1;
    while (end < path.size() && isSegmentCharacter(path[end])) ++end;
    if (end == i + 1) return false;  // an empty segment
    i = end;
  }
  return true;
}

}  // namespace

std::optional<ReminderServiceURL> ReminderServiceURL::parse(std::string_view text) {
  // The URL parser lower-cases the scheme, so the text itself must say "https://".
  if (!text.starts_with(kScheme)) return std::nullopt;
  if (text.find_first_of("?#") != std::string_view::npos) return std::nullopt;
  // An empty authority ("https:///x") would otherwise be read as the host "x".
  const std::string_view afterScheme = text.substr(kScheme.size());
  const std::string_view authority = afterScheme.substr(0, afterScheme.find('/'));
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  const auto parts = platform::parse_url(text);
  if (!parts || parts->scheme != "https" || parts->host.empty() || parts->user || parts->password ||
      parts->query || parts->fragment) {
    return std::nullopt;
  }
  std::string origin = "https://" + parts->host;
  if (parts->port) origin += ":" + *parts->port;
  std::string path = parts->path;
  while (!path.empty() && path.back() == '/') path.pop_back();
  return ReminderServiceURL(std::move(origin), std::move(path));
}

std::string ReminderServiceURL::join(std::string_view path) const {
  return origin_ + path_ + "/" + std::string(path);
}

std::optional<ReminderServiceURL> validatedReminderServiceURL(std::string_view text) {
  if (!text.starts_with(kScheme)) return std::nullopt;
  const std::string_view afterScheme = text.substr(kScheme.size());
  const std::string_view authority = afterScheme.substr(0, afterScheme.find('/'));
  // No explicit port, not even an empty one ("host:"); an IPv6 literal's colons are no port.
  const auto bracket = authority.rfind(']');
  const auto hostEnd = bracket == std::string_view::npos ? 0 : bracket;
  if (authority.find(':', hostEnd) != std::string_view::npos) return std::nullopt;
  const auto parts = platform::parse_url(text);
  if (!parts || parts->port || !isPlainPath(parts->path)) return std::nullopt;
  return ReminderServiceURL::parse(text);
}

std::optional<ReminderServiceURL> reminderServiceBaseURL(const platform::Bundle& bundle) {
  const auto* value = bundle.infoValue(kReminderServiceURLInfoKey);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return validatedReminderServiceURL(value->get_ref<const std::string&>());
}

}  // namespace velmorine::reminders
