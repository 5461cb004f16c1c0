#pragma once

// The store's trust records by the device identifier each contact claimed, with the
// fingerprint of its pinned key, derived once per revision of the store document. Finding the
// contact of a device is then a lookup, not a walk over every trust record (up to 4,096) for
// each peer of every snapshot.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Velmorine/store/local_store.h"

namespace velmorine::runtime {

class TrustIndex {
 public:
  struct Claim {
    std::string contact;
    std::optional<std::string> fingerprint;  // none for a key that has no fingerprint
  };

  // Derives the index again when `store` holds another document than the one it was made from.
  void refresh(const store::LocalStore& store);
  void clear();

  // The contacts whose record claims `deviceID` (exact text), in contact order; empty if none.
  const std::vector<Claim>& claimsOf(const std::string& deviceID) const;
  // The contacts that are not blocked.
  const std::set<std::string>& unblockedContacts() const { return unblocked_; }

 private:
  std::optional<uint64_t> revision_;
  std::unordered_map<std::string, std::vector<Claim>> byDevice_;
  std::set<std::string> unblocked_;
};

}  // namespace velmorine::runtime
