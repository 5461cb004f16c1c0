#include "Velmorine/workspace/conversation_item.h"

#include <algorithm>
#include <cctype>
#include <compare>
#include <utility>

namespace velmorine::workspace {

namespace {

void appendLowered(std::string& out, std::string_view text) {
  for (const char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string lowered(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  appendLowered(result, text);
  return result;
}

}  // namespace

const runtime::RuntimeMessage* ConversationItem::message() const {
  const auto* const* message = std::get_if<const runtime::RuntimeMessage*>(&item_);
  return message ? *message : nullptr;
}

const transfer::RuntimeTransfer* ConversationItem::transfer() const {
  const auto* const* transfer = std::get_if<const transfer::RuntimeTransfer*>(&item_);
  return transfer ? *transfer : nullptr;
}

const std::string& ConversationItem::itemID() const {
  if (const auto* message = this->message()) return message->id;
  return transfer()->id;
}

std::string ConversationItem::id() const {
  std::string id(kindName(kind()));
  id += ':';
  id += itemID();
  return id;
}

store::Date ConversationItem::time() const {
  if (const auto* message = this->message()) return message->date;
  return transfer()->createdAt;
}

std::string_view kindName(ConversationItem::Kind kind) {
  return kind == ConversationItem::Kind::message ? "message" : "transfer";
}

ConversationOrderKey conversationOrderKey(const ConversationItem& item,
                                          const std::map<std::string, std::int64_t>& historyOrder,
                                          std::string_view contactKey, std::string& scratch) {
  ConversationOrderKey key;
  key.kind = item.kind();
  key.itemID = item.itemID();
  key.time = item.time();
  // The runtime's history key: kind, contact and identifier, both in lower case.
  scratch.assign(kindName(key.kind));
  scratch += ':';
  scratch += contactKey;
  scratch += ':';
  appendLowered(scratch, key.itemID);
  if (const auto found = historyOrder.find(scratch); found != historyOrder.end()) {
    key.positioned = true;
    key.position = found->second;
  }
  return key;
}

bool precedes(const ConversationOrderKey& a, const ConversationOrderKey& b) {
  if (a.positioned != b.positioned) return a.positioned;
  if (a.positioned && a.position != b.position) return a.position < b.position;
  // A strong order, so that even a time that is not a number keeps the order total.
  if (const auto order = std::strong_order(a.time.timeIntervalSinceReferenceDate,
                                           b.time.timeIntervalSinceReferenceDate);
      order != 0) {
    return order < 0;
  }
  // "message:…" sorts before "transfer:…", then the identifiers decide.
  if (a.kind != b.kind) return a.kind == ConversationItem::Kind::message;
  return a.itemID < b.itemID;
}

std::vector<ConversationItem> orderedConversation(const runtime::RuntimeSnapshot& snapshot,
                                                  const std::optional<std::string>& contactID) {
  if (!contactID) return {};
  std::vector<std::pair<ConversationOrderKey, ConversationItem>> keyed;
  const auto contactKey = lowered(*contactID);
  std::string scratch;
  const auto add = [&](const ConversationItem& item) {
    keyed.emplace_back(conversationOrderKey(item, snapshot.historyOrder, contactKey, scratch),
                       item);
  };
  for (const auto& message : snapshot.messages) {
    if (message.contactID == *contactID) add(ConversationItem(message));
  }
  for (const auto& transfer : snapshot.transfers) {
    if (transfer.contactID == *contactID) add(ConversationItem(transfer));
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return precedes(a.first, b.first); });
  std::vector<ConversationItem> items;
  items.reserve(keyed.size());
  for (const auto& [key, item] : keyed) items.push_back(item);
  return items;
}

}  // namespace velmorine::workspace
