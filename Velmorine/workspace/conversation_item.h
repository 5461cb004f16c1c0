#pragma once

// One entry of a conversation, a message or a transfer, and the order the conversation shows
// them in.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Velmorine/runtime/runtime_message.h"
#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/transfer/runtime_transfer.h"

namespace velmorine::workspace {

// Refers to an item of a snapshot: valid as long as that snapshot is the model's.
class ConversationItem {
 public:
  enum class Kind { message, transfer };

  explicit ConversationItem(const runtime::RuntimeMessage& message) : item_(&message) {}
  explicit ConversationItem(const transfer::RuntimeTransfer& transfer) : item_(&transfer) {}

  Kind kind() const { return item_.index() == 0 ? Kind::message : Kind::transfer; }
  // The message, or nullptr for a transfer.
  const runtime::RuntimeMessage* message() const;
  // The transfer, or nullptr for a message.
  const transfer::RuntimeTransfer* transfer() const;
  // The list identity: "message:" or "transfer:" followed by the item's identifier.
  std::string id() const;
  const std::string& itemID() const;
  // The message's date or the transfer's creation.
  store::Date time() const;

  friend bool operator==(const ConversationItem&, const ConversationItem&) = default;

 private:
  std::variant<const runtime::RuntimeMessage*, const transfer::RuntimeTransfer*> item_;
};

std::string_view kindName(ConversationItem::Kind kind);

// Where an item stands: its history position when the runtime's order has one, then its time,
// then its identity. One total order, agreeing with the runtime's, which sorts by position
// and puts the items without one after all others.
struct ConversationOrderKey {
  bool positioned = false;
  std::int64_t position = 0;
  store::Date time;
  ConversationItem::Kind kind = ConversationItem::Kind::message;
  std::string_view itemID;  // views the item's identifier
};

// The key of an item in the conversation of `contactKey` (the contact in lower case). The
// history key is built in `scratch`, so that a caller ordering many items allocates once.
ConversationOrderKey conversationOrderKey(const ConversationItem& item,
                                          const std::map<std::string, std::int64_t>& historyOrder,
                                          std::string_view contactKey, std::string& scratch);

bool precedes(const ConversationOrderKey& a, const ConversationOrderKey& b);

// The messages of `contactID` (exact match) followed by its transfers, in conversation order;
// empty when nothing is selected.
std::vector<ConversationItem> orderedConversation(const runtime::RuntimeSnapshot& snapshot,
                                                  const std::optional<std::string>& contactID);

}  // namespace velmorine::workspace
