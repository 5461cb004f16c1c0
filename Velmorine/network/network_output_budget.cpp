#include "Velmorine/network/network_output_budget.h"

#include <algorithm>

namespace velmorine::network {

size_t NetworkOutputBudget::used() const {
  std::lock_guard guard(lock_);
  return used_;
}

bool NetworkOutputBudget::hasRoomFor(size_t bytes) const {
  std::lock_guard guard(lock_);
  return kCapacity - used_ >= bytes;
}

bool NetworkOutputBudget::reserve(size_t bytes) {
  std::lock_guard guard(lock_);
  if (kCapacity - used_ < bytes) return false;
  used_ += bytes;
  return true;
}

void NetworkOutputBudget::giveBack(size_t bytes) {
  std::function<void()> onAvailable;
  {
    std::lock_guard guard(lock_);
    used_ -= std::min(bytes, used_);
    onAvailable = onAvailable_;
  }
  if (onAvailable) onAvailable();
}

void NetworkOutputBudget::setOnAvailable(std::function<void()> onAvailable) {
  std::lock_guard guard(lock_);
  onAvailable_ = std::move(onAvailable);
}

}  // namespace velmorine::network
