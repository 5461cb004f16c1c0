#pragma once

// The durable attachment outbox as the runtime sees it: batches that wait for their peer, with
// their history order. This is its outline: it holds no batches yet.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/transfer/runtime_transfer.h"

namespace velmorine::transfer {

class DurableAttachmentOutbox {
 public:
  // History key to sequence number of every batch it holds.
  const std::map<std::string, int64_t>& order() const { return order_; }
  // The transfers of its batches.
  std::vector<RuntimeTransfer> values() const { return {}; }
  // Whether the transfer is one of its batches.
  bool knows(const std::string& transferID) const;
  // Drops every batch of the contact (lower case), as a cleared conversation does.
  void forget(const std::string& contactID);

 private:
  std::map<std::string, int64_t> order_;
};

}  // namespace velmorine::transfer
