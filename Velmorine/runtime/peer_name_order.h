#pragma once

// Peer names in the order a person reads them: case-insensitively, with numbers by their value.
// Every snapshot sorts up to 512 peers; the collator is made once and each name's collation key
// is kept, so the sort itself compares bytes.

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Velmorine/runtime/runtime_snapshot.h"

namespace velmorine::runtime {

class PeerNameOrder {
 public:
  PeerNameOrder();
  ~PeerNameOrder();
  PeerNameOrder(const PeerNameOrder&) = delete;
  PeerNameOrder& operator=(const PeerNameOrder&) = delete;

  // Sorts `peers` by name; peers of equal names keep their order.
  void sort(std::vector<RuntimePeer>& peers);

 private:
  struct Collation;

  const std::string& keyOf(const std::string& name);

  std::unique_ptr<Collation> collation_;  // none when the system has no collator to give
  std::unordered_map<std::string, std::string> keys_;
};

}  // namespace velmorine::runtime
