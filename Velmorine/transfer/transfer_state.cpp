#include "Velmorine/transfer/transfer_state.h"

#include <array>
#include <utility>

namespace velmorine::transfer {

namespace {

constexpr std::array<std::pair<TransferState, std::string_view>, 12> kRawValues = {{
    {TransferState::queued, "queued"},
    {TransferState::offering, "offering"},
    {TransferState::offered, "offered"},
    {TransferState::pending, "pending"},
    {TransferState::accepting, "accepting"},
    {TransferState::transferring, "transferring"},
    {TransferState::awaitingCommit, "awaitingCommit"},
    {TransferState::committed, "committed"},
    {TransferState::unconfirmed, "unconfirmed"},
    {TransferState::rejected, "rejected"},
    {TransferState::cancelled, "cancelled"},
    {TransferState::failed, "failed"},
}};

}  // namespace

std::string_view rawValue(TransferState state) {
  for (const auto& [candidate, raw] : kRawValues) {
    if (candidate == state) return raw;
  }
  return "";
}

std::optional<TransferState> transferStateFromRaw(std::string_view raw) {
  for (const auto& [state, candidate] : kRawValues) {
    if (candidate == raw) return state;
  }
  return std::nullopt;
}

bool isEnded(TransferState state) {
  switch (state) {
    case TransferState::committed:
    case TransferState::unconfirmed:
    case TransferState::rejected:
    case TransferState::cancelled:
    case TransferState::failed:
      return true;
    case TransferState::queued:
    case TransferState::offering:
    case TransferState::offered:
    case TransferState::pending:
    case TransferState::accepting:
    case TransferState::transferring:
    case TransferState::awaitingCommit:
      return false;
  }
  return false;
}

}  // namespace velmorine::transfer
