#include "Velmorine/store/keychain_service.h"

#include "native/product/product_identifier.h"

namespace velmorine::store {

namespace {

bool is_recognised(const std::optional<std::string>& identifier) {
  if (!identifier) return false;
  const std::string product(kProductIdentifier);
  return *identifier == product || *identifier == product + ".macos";
}

}  // namespace

std::string keychainServiceBase(const platform::Bundle& bundle) {
  const auto identifier = bundle.identifier();
  if (is_recognised(identifier)) return product_scoped("macos");
  if (identifier) return *identifier;
  return product_scoped("macos.dev");
}

std::optional<std::string> keychainAccessGroup(const platform::Bundle& bundle) {
  if (!is_recognised(bundle.identifier())) return std::nullopt;
  const auto* group = bundle.infoValue(kKeychainGroupInfoKey);
  if (group == nullptr || !group->is_string()) return std::nullopt;
  return group->get<std::string>();
}

std::string keychainServiceBase() { return keychainServiceBase(platform::Bundle::main()); }

std::optional<std::string> keychainAccessGroup() {
  return keychainAccessGroup(platform::Bundle::main());
}

}  // namespace velmorine::store
