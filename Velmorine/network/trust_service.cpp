#include "Velmorine/network/trust_service.h"

#include <algorithm>

#include "native/protocol/uuid.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::network {

namespace {

constexpr size_t kKeyLength = 32;

std::optional<core::Uuid> uuidText(std::string_view text) { return core::Uuid::parse(text); }

core::Uuid requireUuid(std::string_view text) {
  const auto parsed = uuidText(text);
  if (!parsed) throw TrustFailure(TrustFailure::Case::invalidIdentity);
  return *parsed;
}

void requireKey(std::span<const uint8_t> key) {
  if (key.size() != kKeyLength) throw TrustFailure(TrustFailure::Case::invalidIdentity);
}

bool isBlocked(const store::StoreDocument& document, const std::string& contactID) {
  const auto entry = document.trust.find(contactID);
  return entry != document.trust.end() && entry->second.blocked;
}

}  // namespace

TrustService::TrustService(std::shared_ptr<store::LocalStore> store, WallClock clock)
    : store_(std::move(store)), clock_(std::move(clock)) {}

TrustService::KeyState TrustService::keyState(const std::string& contactID,
                                              std::span<const uint8_t> publicKey) const {
  const auto& trust = store_->document().trust;
  const auto entry = trust.find(contactID);
  if (entry == trust.end()) return KeyState::noRecord;
  if (entry->second.blocked) return KeyState::blocked;
  return std::ranges::equal(entry->second.publicKey, publicKey) ? KeyState::sameKey
                                                                : KeyState::otherKey;
}

void TrustService::appendAudit(store::StoreDocument& document, const std::string& contactID,
                               const char* action) const {
  document.audit.push_back(store::SecurityAudit{
      core::Uuid::random(), store::Date::fromSystemTime(clock_()), requireUuid(contactID), action});
}

std::string TrustService::admit(std::string_view claimedID, std::span<const uint8_t> publicKey) {
  const core::Uuid claimed = requireUuid(claimedID);
  requireKey(publicKey);
  const std::string claimedText(claimedID);
  // Blocking a device's claimed contact also refuses every separate contact of that device.
  if (isBlocked(store_->document(), claimedText)) throw TrustFailure(TrustFailure::Case::blocked);

  std::string contactID = claimedText;
  if (auto separate = VEProtocol::separateContactWithClaimedID(claimedID, publicKey);
      separate && store_->document().trust.contains(*separate)) {
    contactID = std::move(*separate);
  }

  switch (keyState(contactID, publicKey)) {
    case KeyState::noRecord:
      store_->update([&](store::StoreDocument& document) {
        document.trust[contactID] = store::TrustRecord{
            claimed, store::Bytes(publicKey.begin(), publicKey.end()), false, false};
        appendAudit(document, claimedText, "first-trust");
      });
      return contactID;
    case KeyState::sameKey:
      return contactID;
    case KeyState::blocked:
      throw TrustFailure(TrustFailure::Case::blocked);
    case KeyState::otherKey:
      break;
  }
  throw TrustFailure(TrustFailure::Case::changedKey);
}

void TrustService::setBlocked(bool blocked, std::string_view contactID) {
  requireUuid(contactID);
  const std::string contact(contactID);
  if (!store_->document().trust.contains(contact)) {
    throw TrustFailure(TrustFailure::Case::invalidIdentity);
  }
  store_->update([&](store::StoreDocument& document) {
    document.trust.at(contact).blocked = blocked;
    appendAudit(document, contact, blocked ? "block" : "unblock");
  });
}

std::string TrustService::resolveChangedKey(std::string_view contactID,
                                            std::span<const uint8_t> publicKey, bool separate) {
  const core::Uuid claimed = requireUuid(contactID);
  requireKey(publicKey);
  const std::string contact(contactID);
  if (isBlocked(store_->document(), contact)) throw TrustFailure(TrustFailure::Case::blocked);

  std::string target = contact;
  if (separate) {
    auto formed = VEProtocol::separateContactWithClaimedID(contactID, publicKey);
    if (!formed) throw TrustFailure(TrustFailure::Case::invalidIdentity);
    target = std::move(*formed);
  }
  requireUuid(target);
  if (isBlocked(store_->document(), target)) throw TrustFailure(TrustFailure::Case::blocked);

  store_->update([&](store::StoreDocument& document) {
    document.trust[target] =
        store::TrustRecord{claimed, store::Bytes(publicKey.begin(), publicKey.end()), false, false};
    appendAudit(document, target, separate ? "separate-contact" : "replace-trust");
  });
  return target;
}

void TrustService::markVerified(std::string_view contactID, std::span<const uint8_t> publicKey) {
  const std::string contact(contactID);
  if (!uuidText(contactID) || keyState(contact, publicKey) != KeyState::sameKey) {
    throw TrustFailure(TrustFailure::Case::changedKey);
  }
  store_->update([&](store::StoreDocument& document) {
    document.trust.at(contact).manuallyVerified = true;
    appendAudit(document, contact, "manually-verified");
  });
}

}  // namespace velmorine::network
