#include "Velmorine/runtime/trust_index.h"

#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

void TrustIndex::refresh(const store::LocalStore& store) {
  if (revision_ == store.revision()) return;
  clear();
  for (const auto& [contact, record] : store.document().trust) {
    byDevice_[record.claimedID.to_string()].push_back(
        Claim{contact, VEProtocol::fingerprint(record.publicKey)});
    if (!record.blocked) unblocked_.insert(unblocked_.end(), contact);
  }
  revision_ = store.revision();
}

void TrustIndex::clear() {
  revision_.reset();
  byDevice_.clear();
  unblocked_.clear();
}

const std::vector<TrustIndex::Claim>& TrustIndex::claimsOf(const std::string& deviceID) const {
  static const std::vector<Claim> none;
  const auto found = byDevice_.find(deviceID);
  return found == byDevice_.end() ? none : found->second;
}

}  // namespace velmorine::runtime
