#pragma once

// Stamps that tell the interface which transfers of a snapshot are unchanged since the last one,
// so that a snapshot moving one transfer's bytes costs the views one comparison of a number per
// transfer rather than one of each transfer's every field. The runtime compares on its own queue,
// where it copies the transfers into the snapshot anyway.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Velmorine/transfer/runtime_transfer.h"

namespace velmorine::runtime {

class TransferStamps {
 public:
  // The stamps of `transfers`, in their order: a transfer equal to the one stamped last time
  // under its contact and identifier keeps that stamp, any other gets a new one (never 0, never
  // given before). Transfers no longer listed are forgotten.
  std::vector<std::uint64_t> stamp(const std::vector<transfer::RuntimeTransfer>& transfers);

 private:
  struct Stamped {
    transfer::RuntimeTransfer value;
    std::uint64_t stamp = 0;
  };
  std::unordered_map<std::string, Stamped> last_;
  std::uint64_t next_ = 1;
};

}  // namespace velmorine::runtime
