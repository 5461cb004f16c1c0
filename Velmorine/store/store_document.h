#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/store/document_fields.h"
#include "Velmorine/store/receive_journal.h"
#include "Velmorine/store/store_date.h"
#include "native/protocol/uuid.h"

namespace velmorine::store {

// The public half of the device identity; the secret stays in the keychain.
struct IdentityMetadata {
  core::Uuid id;
  Bytes publicKey;  // 32 bytes

  friend bool operator==(const IdentityMetadata&, const IdentityMetadata&) = default;
};

struct AppPreferences {
  std::string language = "system";
  std::string appearance = "system";
  bool networkEnabled = false;
  bool notificationsEnabled = false;
  std::string displayName = "Velmorine Mac";
  std::optional<DeviceNamePreferences> deviceNaming;
  std::optional<Bytes> destinationBookmark;

  friend bool operator==(const AppPreferences&, const AppPreferences&) = default;
};

// The trust kept for one peer contact and its pinned key.
struct TrustRecord {
  core::Uuid claimedID;  // the device identifier that the peer claimed
  Bytes publicKey;       // the pinned 32-byte static key
  bool manuallyVerified = false;
  bool blocked = false;

  friend bool operator==(const TrustRecord&, const TrustRecord&) = default;
};

// One trust change; the audit is only ever appended to.
struct SecurityAudit {
  core::Uuid id;
  Date date;
  core::Uuid contactID;
  std::string action;  // "first-trust", "replace-trust", "separate-contact", "block", ...

  friend bool operator==(const SecurityAudit&, const SecurityAudit&) = default;
};

// One committed incoming transfer.
struct ReceiveIndexEntry {
  core::Uuid transferID;
  Bytes containerBookmark;
  Date committedAt;

  friend bool operator==(const ReceiveIndexEntry&, const ReceiveIndexEntry&) = default;
};

// An incoming transfer that is staged and not yet settled.
struct PendingReceive {
  ReceiveJournal journal;
  Bytes destinationBookmark;

  friend bool operator==(const PendingReceive&, const PendingReceive&) = default;
};

// The one document of the application store ("state-v1.json").
struct StoreDocument {
  std::int64_t schema = 1;
  std::optional<IdentityMetadata> identity;
  AppPreferences preferences;
  std::map<std::string, TrustRecord> trust;  // by contact identifier text, exact
  std::vector<SecurityAudit> audit;          // oldest first
  std::vector<ReceiveIndexEntry> received;   // in the order of recording
  // By the upper-case text of the transfer identifier.
  std::optional<std::map<std::string, PendingReceive>> pendingReceives;
  std::optional<std::set<std::string>> hiddenHistoricalPeers;  // contact identifier texts

  friend bool operator==(const StoreDocument&, const StoreDocument&) = default;
};

// The one field read before anything else, so that a newer layout is never half read.
struct StoreHeader {
  std::int64_t schema = 0;
};

// Parses the document's JSON text, refusing nesting deeper than any store document has.
// Throws StoreDecodingError.
Json parseStoreJson(std::string_view text);

StoreHeader decodeStoreHeader(const Json& document);
// Decodes every record, key by key; the first missing or wrong value throws StoreDecodingError.
StoreDocument decodeStoreDocument(const Json& document);

// Reads the text of a document file: the header first, refusing a newer schema
// (LocalStoreError::newerSchema) or one below 1 (LocalStoreError::corrupt) before any other key
// is looked at, then the whole document (StoreDecodingError).
StoreDocument readStoreDocument(std::string_view text);

// The compact JSON text, keys in field order, absent optional fields left out.
// Throws StoreEncodingError.
std::string encodeStoreDocument(const StoreDocument& document);

// True when `updated` begins with every entry of `current`, in order.
bool auditIsAppendOnly(const std::vector<SecurityAudit>& current,
                       const std::vector<SecurityAudit>& updated);

// The identifier whose 16 bytes, in the order of its text, are `bytes`.
core::Uuid identifierFromBytes(std::span<const std::uint8_t, 16> bytes);

}  // namespace velmorine::store
