#pragma once

// Where a transfer stands. The raw values are stored in the history and shown, so they never
// change; the declaration order is the order in which states are compared by position.

#include <optional>
#include <string_view>

namespace velmorine::transfer {

enum class TransferState {
  queued,
  offering,
  offered,
  pending,
  accepting,
  transferring,
  awaitingCommit,
  committed,
  unconfirmed,
  rejected,
  cancelled,
  failed,
};

std::string_view rawValue(TransferState state);
// Exact, case-sensitive match of one of the twelve raw values; nothing for any other text.
std::optional<TransferState> transferStateFromRaw(std::string_view raw);

// True for the five end states: a transfer in one of them never changes state again.
bool isEnded(TransferState state);

}  // namespace velmorine::transfer
