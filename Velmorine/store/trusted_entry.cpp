#include "Velmorine/store/trusted_entry.h"

#include "native/protocol/ve_protocol.h"

namespace velmorine::store {

bool isTrustedEntry(const TrustRecord& record, std::string_view deviceID,
                    std::string_view fingerprint) {
  if (record.claimedID.to_string() != deviceID) return false;
  const auto key_fingerprint = VEProtocol::fingerprint(record.publicKey);
  return key_fingerprint && *key_fingerprint == fingerprint;
}

}  // namespace velmorine::store
