#pragma once

// Which peer keys are accepted, and the user's trust decisions: the first key a device
// identifier presents is pinned, blocked contacts are refused, a different key is reported,
// and a changed key is settled by replacing the pinned one or by filing it as a separate
// contact. The whole state is the store document's "trust" map and "audit" list; every change
// is one store update that appends one audit entry, so a decision is on disk before it takes
// effect. Used on the runtime's queue only, like the store it holds.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Velmorine/network/trust_failure.h"
#include "Velmorine/store/local_store.h"

namespace velmorine::network {

class TrustService {
 public:
  // Stamps the audit entries.
  using WallClock = std::function<std::chrono::system_clock::time_point()>;

  explicit TrustService(
      std::shared_ptr<store::LocalStore> store,
      WallClock clock = [] { return std::chrono::system_clock::now(); });

  // The contact identifier under which the peer that claims `claimedID` and authenticated
  // with `publicKey` is filed. Pins the key on first use. Throws TrustFailure or the store's
  // update error.
  std::string admit(std::string_view claimedID, std::span<const uint8_t> publicKey);

  // Also writes (and audits) when the flag already had that value.
  void setBlocked(bool blocked, std::string_view contactID);

  // Trusts `publicKey` for `contactID`, replacing the pinned key or, with `separate`, under a
  // contact of its own; returns the identifier it is now trusted under.
  std::string resolveChangedKey(std::string_view contactID, std::span<const uint8_t> publicKey,
                                bool separate);

  // After the user confirmed the safety code of `publicKey`; any key but the pinned one of an
  // unblocked contact is `changedKey`.
  void markVerified(std::string_view contactID, std::span<const uint8_t> publicKey);

  enum class KeyState { noRecord, blocked, sameKey, otherKey };
  // The one comparison every decision uses, on the document as it is now.
  KeyState keyState(const std::string& contactID, std::span<const uint8_t> publicKey) const;

  const std::shared_ptr<store::LocalStore>& store() const { return store_; }

 private:
  void appendAudit(store::StoreDocument& document, const std::string& contactID,
                   const char* action) const;

  std::shared_ptr<store::LocalStore> store_;
  WallClock clock_;
};

}  // namespace velmorine::network
