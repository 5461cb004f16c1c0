// Historical peers come back to the list of past peers when their device shows up again with
// the key that was trusted for them.

#include <algorithm>
#include <set>

#include "Velmorine/store/local_store.h"
#include "Velmorine/store/trusted_entry.h"

namespace velmorine::store {

void LocalStore::unhidePeers(std::string_view deviceID, std::string_view fingerprint) {
  const auto& hidden = document_.hiddenHistoricalPeers;
  if (!hidden || hidden->empty()) return;
  std::set<std::string> returning;
  for (const auto& [contact, record] : document_.trust) {
    if (hidden->contains(contact) && isTrustedEntry(record, deviceID, fingerprint)) {
      returning.insert(contact);
    }
  }
  if (returning.empty()) return;
  const std::set<std::string> remaining = [&] {
    std::set<std::string> left;
    std::set_difference(hidden->begin(), hidden->end(), returning.begin(), returning.end(),
                        std::inserter(left, left.end()));
    return left;
  }();
  update([&](StoreDocument& document) { document.hiddenHistoricalPeers = remaining; });
}

}  // namespace velmorine::store
