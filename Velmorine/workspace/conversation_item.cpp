#include "Velmorine/workspace/conversation_item.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <compare>
#include <cstring>
#include <limits>
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

namespace {

// A hash of an identifier that ignores ASCII case, as the history keys hold identifiers in
// lower case: eight bytes at a time, each with its case bit set (which a lower-case letter
// has already), so that an identifier and its lower-case form hash alike.
std::uint64_t foldedHash(std::string_view text) {
  constexpr std::uint64_t kCaseBits = 0x2020202020202020ULL;
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::uint64_t hash = text.size() * kMultiplier;
  std::size_t offset = 0;
  for (; offset + 8 <= text.size(); offset += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + offset, 8);
    hash = (hash ^ (word | kCaseBits)) * kMultiplier;
    hash ^= hash >> 29;
  }
  std::uint64_t tail = 0;
  for (std::size_t index = text.size(); index > offset; --index) {
    tail = (tail << 8) | static_cast<unsigned char>(text[index - 1]);
  }
  hash = (hash ^ (tail | kCaseBits)) * kMultiplier;
  return hash ^ (hash >> 32);
}

// Equality of two texts, compared eight bytes at a time in line: identifiers are short, and a
// call per comparison costs as much as the comparison.
bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  std::size_t offset = 0;
  for (; offset + 8 <= a.size(); offset += 8) {
    std::uint64_t left, right;
    std::memcpy(&left, a.data() + offset, 8);
    std::memcpy(&right, b.data() + offset, 8);
    if (left != right) return false;
  }
  for (; offset < a.size(); ++offset) {
    if (a[offset] != b[offset]) return false;
  }
  return true;
}

// Whether `id` in lower case is `lowered`.
bool equalsLowered(std::string_view id, std::string_view lowered) {
  if (id.size() != lowered.size()) return false;
  if (sameText(id, lowered)) return true;
  for (std::size_t index = 0; index < id.size(); ++index) {
    if (std::tolower(static_cast<unsigned char>(id[index])) !=
        static_cast<unsigned char>(lowered[index])) {
      return false;
    }
  }
  return true;
}

// The history positions of one contact's items, read in one pass over its part of the
// runtime's order, so that each item costs one hash lookup instead of a walk down the map.
class ContactPositions {
 public:
  ContactPositions(const std::map<std::string, std::int64_t>& historyOrder,
                   std::string_view contactKey) {
    std::string prefix;
    entries_.reserve(historyOrder.size());
    for (const auto kind : {ConversationItem::Kind::message, ConversationItem::Kind::transfer}) {
      // The keys "kind:contact:…" lie between "kind:contact:" and "kind:contact;".
      prefix.assign(kindName(kind));
      prefix += ':';
      prefix += contactKey;
      prefix += ';';
      const auto end = historyOrder.lower_bound(prefix);
      prefix.back() = ':';
      for (auto it = historyOrder.lower_bound(prefix); it != end; ++it) {
        entries_.push_back({kind, std::string_view(it->first).substr(prefix.size()), it->second});
      }
    }
    slots_.assign(std::bit_ceil(entries_.size() * 2 + 2), 0);
    for (std::uint32_t index = 0; index < entries_.size(); ++index) {
      std::size_t slot = hash(entries_[index].kind, entries_[index].id);
      while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = index + 1;
    }
  }

  // The position of the item of `kind` whose identifier is `id` in any case, or none.
  std::optional<std::int64_t> find(ConversationItem::Kind kind, std::string_view id) const {
    for (std::size_t slot = hash(kind, id);; slot = (slot + 1) & (slots_.size() - 1)) {
      if (slots_[slot] == 0) return std::nullopt;
      const auto& entry = entries_[slots_[slot] - 1];
      if (entry.kind == kind && equalsLowered(id, entry.id)) return entry.position;
    }
  }

 private:
  struct Entry {
    ConversationItem::Kind kind;
    std::string_view id;  // lower case, viewing the history key
    std::int64_t position;
  };

  std::size_t hash(ConversationItem::Kind kind, std::string_view id) const {
    return (foldedHash(id) + static_cast<std::size_t>(kind)) & (slots_.size() - 1);
  }

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // 1 + index into entries_, 0 for a free slot
};

}  // namespace

namespace {

// The leading fields of an order key as two unsigned integers that compare as they do, so
// that the sort moves small entries and compares them in line; a tie goes to the whole key,
// as does every comparison at the largest rank, which a position may share with no position.
struct CompactKey {
  std::uint64_t rank;  // the position, biased to unsigned; the largest value when none
  std::uint64_t time;  // the time's bits in IEEE total order
  std::uint32_t index;
};

CompactKey compactKey(const ConversationOrderKey& key, std::uint32_t index) {
  constexpr std::uint64_t kSign = 0x8000000000000000ULL;
  const auto rank = key.positioned ? static_cast<std::uint64_t>(key.position) ^ kSign
                                   : std::numeric_limits<std::uint64_t>::max();
  const auto bits = std::bit_cast<std::uint64_t>(key.time.timeIntervalSinceReferenceDate);
  return {rank, (bits & kSign) ? ~bits : bits | kSign, index};
}

}  // namespace

std::vector<ConversationItem> orderedConversation(const runtime::RuntimeSnapshot& snapshot,
                                                  const std::optional<std::string>& contactID) {
  if (!contactID) return {};
  const ContactPositions positions(snapshot.historyOrder, lowered(*contactID));
  std::vector<ConversationItem> found;
  std::vector<ConversationOrderKey> keys;
  std::vector<CompactKey> order;
  const auto add = [&](const ConversationItem& item, const std::string& id, store::Date time) {
    ConversationOrderKey key;
    key.kind = item.kind();
    key.itemID = id;
    key.time = time;
    if (const auto position = positions.find(key.kind, id)) {
      key.positioned = true;
      key.position = *position;
    }
    order.push_back(compactKey(key, static_cast<std::uint32_t>(keys.size())));
    keys.push_back(key);
    found.push_back(item);
  };
  for (const auto& message : snapshot.messages) {
    if (message.contactID == *contactID) add(ConversationItem(message), message.id, message.date);
  }
  for (const auto& transfer : snapshot.transfers) {
    if (transfer.contactID == *contactID) {
      add(ConversationItem(transfer), transfer.id, transfer.createdAt);
    }
  }
  std::stable_sort(order.begin(), order.end(), [&](const CompactKey& a, const CompactKey& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.time != b.time && a.rank != std::numeric_limits<std::uint64_t>::max()) {
      return a.time < b.time;
    }
    return precedes(keys[a.index], keys[b.index]);
  });
  std::vector<ConversationItem> items;
  items.reserve(order.size());
  for (const auto& entry : order) items.push_back(found[entry.index]);
  return items;
}

}  // namespace velmorine::workspace
