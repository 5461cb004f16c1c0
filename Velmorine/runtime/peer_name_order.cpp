#include "Velmorine/runtime/peer_name_order.h"

#include <unicode/coll.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>

#include "Velmorine/network/peer_directory.h"

namespace velmorine::runtime {

namespace {

// Names come and go with peers; the kept keys are dropped once they far outnumber them.
constexpr size_t kKeptKeys = 4 * network::kMaximumPeers;

}  // namespace

struct PeerNameOrder::Collation {
  std::unique_ptr<icu::Collator> collator;
};

PeerNameOrder::PeerNameOrder() {
  UErrorCode error = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(
      icu::Collator::createInstance(icu::Locale::getDefault(), error));
  if (U_FAILURE(error) || !collator) return;
  collator->setStrength(icu::Collator::SECONDARY);
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, error);
  if (U_FAILURE(error)) return;
  collation_ = std::make_unique<Collation>(Collation{std::move(collator)});
}

PeerNameOrder::~PeerNameOrder() = default;

const std::string& PeerNameOrder::keyOf(const std::string& name) {
  const auto [entry, added] = keys_.try_emplace(name);
  if (!added) return entry->second;
  if (!collation_) {
    entry->second = name;  // byte order, as the names compare without a collator
    return entry->second;
  }
  // Byte comparison of collation keys orders as the collator compares the names.
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
  std::string key(64, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(key.data());
  int32_t length = collation_->collator->getSortKey(text, bytes, static_cast<int32_t>(key.size()));
  if (length > static_cast<int32_t>(key.size())) {
    key.resize(static_cast<size_t>(length));
    bytes = reinterpret_cast<uint8_t*>(key.data());
    length = collation_->collator->getSortKey(text, bytes, length);
  }
  // The length counts the key's closing zero byte.
  key.resize(length > 0 ? static_cast<size_t>(length - 1) : 0);
  entry->second = std::move(key);
  return entry->second;
}

void PeerNameOrder::sort(std::vector<RuntimePeer>& peers) {
  if (keys_.size() > kKeptKeys) keys_.clear();
  std::vector<std::pair<const std::string*, size_t>> order;
  order.reserve(peers.size());
  for (size_t index = 0; index < peers.size(); ++index) {
    order.emplace_back(&keyOf(peers[index].name), index);
  }
  std::ranges::stable_sort(order, [](const auto& a, const auto& b) { return *a.first < *b.first; });
  std::vector<RuntimePeer> sorted;
  sorted.reserve(peers.size());
  for (const auto& [key, index] : order) sorted.push_back(std::move(peers[index]));
  peers = std::move(sorted);
}

}  // namespace velmorine::runtime
