#pragma once

#include <optional>
#include <string>

#include "platform/bundle/bundle.h"

namespace velmorine::store {

// The service base of the application's keychain items: one base (and the access group) shared
// by both recognised bundle identifiers, items of their own for any other build and for a run
// outside a bundle. The identity item's service is the base followed by ".identity".
std::string keychainServiceBase(const platform::Bundle& bundle);
// The access group of the items: only for a recognised bundle identifier, and only when the
// info key "VelmorineMacKeychainGroup" holds text.
std::optional<std::string> keychainAccessGroup(const platform::Bundle& bundle);

// As above, for the running program's bundle, read at every call.
std::string keychainServiceBase();
std::optional<std::string> keychainAccessGroup();

inline constexpr const char* kIdentityServiceSuffix = ".identity";
inline constexpr const char* kKeychainGroupInfoKey = "VelmorineMacKeychainGroup";

}  // namespace velmorine::store
