#pragma once

// A transfer as the runtime publishes it, the history and the attachment outbox store it and
// the transfer views show it. Equality decides whether a save is needed, so it compares every
// field, an absent optional equal only to an absent one.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/store/document_fields.h"
#include "Velmorine/store/store_date.h"
#include "Velmorine/transfer/content_entry.h"
#include "Velmorine/transfer/transfer_state.h"

namespace velmorine::transfer {

// One listed item of a transfer.
struct TransferDisplayItem {
  ContentEntry entry;
  // On the sending side, the bookmark of the item's source, for its preview.
  std::optional<std::vector<uint8_t>> sourceBookmark;

  // Lists know an item by its path.
  const std::string& id() const { return entry.path; }

  friend bool operator==(const TransferDisplayItem&, const TransferDisplayItem&) = default;
};

// The listed items of a transfer, shared by every copy of its record until one copy changes its
// list: a snapshot copies a transfer of 4,096 items as cheaply as one of a single item, and two
// copies of one list compare equal without a walk.
class TransferItems {
 public:
  using value_type = TransferDisplayItem;
  using const_iterator = std::vector<TransferDisplayItem>::const_iterator;

  TransferItems() = default;
  TransferItems(std::vector<TransferDisplayItem> items);  // NOLINT: a list is its items
  TransferItems(std::initializer_list<TransferDisplayItem> items);

  const std::vector<TransferDisplayItem>& values() const;
  std::size_t size() const { return values().size(); }
  bool empty() const { return values().empty(); }
  const TransferDisplayItem& operator[](std::size_t index) const { return values()[index]; }
  const_iterator begin() const { return values().begin(); }
  const_iterator end() const { return values().end(); }

  // Each change copies the list first when another record still shares it.
  void push_back(TransferDisplayItem item);
  void reserve(std::size_t count);
  void clear() { items_.reset(); }

  friend bool operator==(const TransferItems& a, const TransferItems& b) {
    return a.items_ == b.items_ || a.values() == b.values();
  }

 private:
  std::vector<TransferDisplayItem>& own();

  std::shared_ptr<std::vector<TransferDisplayItem>> items_;  // none: no items
};

struct RuntimeTransfer {
  std::string id;         // the transfer's UUID text
  std::string peerID;     // the device identifier the peer announces
  std::string contactID;  // the trust contact the peer is known under
  std::string name;       // the batch's display name
  bool outgoing = false;
  uint64_t totalBytes = 0;
  uint64_t bytes = 0;  // written and verified (receiver), acknowledged (sender)
  TransferState state = TransferState::queued;
  std::optional<std::string> error;     // "transfer.error." + a content failure's raw value
  std::optional<std::string> location;  // receiver: the final folder's URL text, once known
  int64_t itemCount = 0;                // manifest entries, folders included
  TransferItems items;
  store::Date createdAt;
  // Set by the durable attachment outbox for a batch the user may queue again.
  std::optional<bool> canRetryQueued;

  friend bool operator==(const RuntimeTransfer&, const RuntimeTransfer&) = default;
};

// "entry", then "sourceBookmark" (padded Base64) only when present.
store::OrderedJson encodeJson(const TransferDisplayItem& item);
// "entry" is required; "sourceBookmark" may be missing or null. Throws store::StoreDecodingError.
TransferDisplayItem decodeTransferDisplayItem(const store::Json& value,
                                              const std::string& path = "item");

// Keys in field order; "error", "location" and "canRetryQueued" only when present; "state" as
// its raw value, "createdAt" as seconds since 2001-01-01. Throws store::StoreEncodingError for
// a time that is not finite.
store::OrderedJson encodeJson(const RuntimeTransfer& transfer);
// Every key but "error", "location" and "canRetryQueued" is required and must hold its kind;
// a "state" outside the twelve raw values, or an empty "location", is refused. Throws
// store::StoreDecodingError.
RuntimeTransfer decodeRuntimeTransfer(const store::Json& value,
                                      const std::string& path = "transfer");

// The compact JSON text of a transfer, as the history keeps it in a record's payload. Throws
// store::StoreEncodingError (also for text that is not UTF-8).
std::vector<uint8_t> encodeRuntimeTransferPayload(const RuntimeTransfer& transfer);
// Throws store::StoreDecodingError for bytes that are not such a record.
RuntimeTransfer decodeRuntimeTransferPayload(std::span<const uint8_t> payload);

}  // namespace velmorine::transfer
