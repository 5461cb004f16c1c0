#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "native/protocol/uuid.h"

namespace velmorine::store {

struct AppPreferences;

// The naming choices behind the device name that peers see ("deviceNaming" of the preferences).
struct DeviceNamePreferences {
  std::optional<std::string> customName;  // as normalised; absent: the automatic name applies
  core::Uuid fallbackID;                  // drawn once; makes the last-resort name
  bool hintDismissed = false;

  friend bool operator==(const DeviceNamePreferences&, const DeviceNamePreferences&) = default;

  // Source of the random fallback identifier of a new record: the system random source unless
  // the caller gives its own.
  using IdentifierSource = std::function<core::Uuid()>;

  // The name with white space trimmed at both ends, or nothing when it is not acceptable as a
  // device name: empty, longer than 128 UTF-8 bytes, not UTF-8, or holding a control, format or
  // bidirectional control character.
  static std::optional<std::string> normalizedName(std::string_view name);

  // The record for a document that has none, from its current display name: an older custom
  // name is carried over, a former default name is not.
  static DeviceNamePreferences fromDisplayName(std::string_view displayName,
                                               const IdentifierSource& newID = &core::Uuid::random);

  // Sets `preferences.displayName` to the effective device name (the custom name, else a
  // non-generic computer name, else the last-resort name), creating `deviceNaming` first when
  // it is missing.
  static void effectiveName(const std::optional<std::string>& computerName,
                            AppPreferences& preferences,
                            const IdentifierSource& newID = &core::Uuid::random);

  // The user renames the device: a missing or refused name returns it to its automatic name.
  static void rename(const std::optional<std::string>& newName,
                     const std::optional<std::string>& computerName, AppPreferences& preferences,
                     const IdentifierSource& newID = &core::Uuid::random);

  // True when the last-resort name is the one in use.
  static bool usesFallbackName(const AppPreferences& preferences,
                               const std::optional<std::string>& computerName);

  // "Mac · " followed by the first six hexadecimal digits of the identifier, in upper case.
  static std::string lastResortName(const core::Uuid& fallbackID);
};

}  // namespace velmorine::store
