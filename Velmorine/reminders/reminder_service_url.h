#pragma once

// Where the reminder service lives: an https origin and a base path, under which every call's
// relative path is placed.

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle/bundle.h"

namespace velmorine::reminders {

class ReminderServiceURL {
 public:
  // Any absolute https URL with a host (an explicit port is kept); nothing otherwise. Query and
  // fragment are not part of a base address and make it fail.
  static std::optional<ReminderServiceURL> parse(std::string_view text);

  // The base path followed by `path` as one more component: "https://h/base" and "https://h/base/"
  // with "v1/devices" both give "https://h/base/v1/devices". Inner slashes of `path` are kept.
  std::string join(std::string_view path) const;

  const std::string& origin() const { return origin_; }
  const std::string& path() const { return path_; }

  friend bool operator==(const ReminderServiceURL&, const ReminderServiceURL&) = default;

 private:
  ReminderServiceURL(std::string origin, std::string path)
      : origin_(std::move(origin)), path_(std::move(path)) {}

  std::string origin_;  // "https://host" or "https://host:port"
  std::string path_;    // without a trailing "/"; empty for the root
};

// The base address a shipped build may name: https exactly as written, a host, no user or
// password, no port, a path of letter, digit, "_" and "-" segments with an optional trailing
// "/", no query and no fragment. Anything else leaves the service off.
std::optional<ReminderServiceURL> validatedReminderServiceURL(std::string_view text);

// The bundle's "VelmorineReminderServiceURL" when it is text and passes the rules above.
std::optional<ReminderServiceURL> reminderServiceBaseURL(const platform::Bundle& bundle);

inline constexpr const char* kReminderServiceURLInfoKey = "VelmorineReminderServiceURL";

}  // namespace velmorine::reminders
