#include "Velmorine/runtime/transfer_stamps.h"

#include <utility>

namespace velmorine::runtime {

std::vector<std::uint64_t> TransferStamps::stamp(
    const std::vector<transfer::RuntimeTransfer>& transfers) {
  std::vector<std::uint64_t> stamps;
  stamps.reserve(transfers.size());
  std::unordered_map<std::string, Stamped> next;
  next.reserve(transfers.size());
  for (const auto& transfer : transfers) {
    std::string key = transfer.contactID + ":" + transfer.id;
    const auto known = last_.find(key);
    std::uint64_t given;
    if (known != last_.end() && known->second.value == transfer) {
      given = known->second.stamp;
    } else {
      given = next_++;
    }
    stamps.push_back(given);
    next.insert_or_assign(std::move(key), Stamped{transfer, given});
  }
  last_ = std::move(next);
  return stamps;
}

}  // namespace velmorine::runtime
