// The transfer engine and the attachment outbox as the runtime holds them: created on first
// use, listed as rows, and saved into the history.

#include <algorithm>
#include <limits>

#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"

namespace velmorine::runtime {

namespace {

// Returns the object in `field`, building it with `factory` on first use.
template <typename Object, typename Factory>
Object& lazyHelper(std::unique_ptr<Object>& field, Factory&& factory) {
  if (!field) field = factory();
  return *field;
}

}  // namespace

transfer::TransferEngine& VelRuntime::transfers() {
  return lazyHelper(transfers_,
                    [&] { return std::make_unique<transfer::TransferEngine>(*queue_); });
}

transfer::DurableAttachmentOutbox& VelRuntime::attachmentOutbox() {
  return lazyHelper(attachmentOutbox_,
                    [] { return std::make_unique<transfer::DurableAttachmentOutbox>(); });
}

std::vector<transfer::RuntimeTransfer> VelRuntime::transferRows() const {
  std::map<std::string, transfer::RuntimeTransfer> rows(historyTransfers.begin(),
                                                        historyTransfers.end());
  if (transfers_) {
    for (const auto& transfer : transfers_->transfers()) rows[transferKey(transfer)] = transfer;
  }
  if (attachmentOutbox_) {
    for (const auto& transfer : attachmentOutbox_->values()) rows[transferKey(transfer)] = transfer;
  }
  std::vector<std::pair<int64_t, transfer::RuntimeTransfer>> ordered;
  ordered.reserve(rows.size());
  for (auto& [key, transfer] : rows) {
    const auto order = historyOrder.find(key);
    ordered.emplace_back(
        order == historyOrder.end() ? std::numeric_limits<int64_t>::max() : order->second,
        std::move(transfer));
  }
  std::ranges::stable_sort(ordered, [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return a.second.createdAt < b.second.createdAt;
  });
  std::vector<transfer::RuntimeTransfer> result;
  result.reserve(ordered.size());
  for (auto& [order, transfer] : ordered) result.push_back(std::move(transfer));
  return result;
}

void VelRuntime::saveTransferState(const transfer::RuntimeTransfer& transfer, bool force) {
  if (attachmentOutbox().knows(transfer.id)) return;  // the outbox writes its own rows
  if (!history) return;
  const std::string key = transferKey(transfer);
  if (const auto saved = savedTransfers.find(key);
      saved != savedTransfers.end() && saved->second == transfer) {
    return;
  }
  if (!force) {
    const auto state = savedTransferState.find(key);
    if (state != savedTransferState.end() && state->second == transfer.state) {
      const auto last = lastProgressWrite.find(key);
      if (last != lastProgressWrite.end() && uptime() - last->second < 1.0) return;
    }
  }
  store::ConversationHistoryRecord record;
  record.kind = "transfer";
  record.peer = lowered(transfer.contactID);
  record.id = lowered(transfer.id);
  record.payload = transfer::encodeRuntimeTransferPayload(transfer);
  record.unsettled = !transfer::isEnded(transfer.state);
  if (const auto saved = savedHistory.find(key);
      saved != savedHistory.end() && saved->second == record.payload) {
    savedTransfers[key] = transfer;
    return;
  }
  const int64_t epoch = history->epoch(record.peer);
  store::ConversationSequences sequences;
  history->execute("BEGIN IMMEDIATE");
  try {
    sequences = history->saveRecords({record}, {{record.peer, epoch}});
    history->execute("COMMIT");
  } catch (...) {
    try {
      history->execute("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
  savedHistory[key] = record.payload;
  savedTransfers[key] = transfer;
  savedTransferState[key] = transfer.state;
  lastProgressWrite[key] = uptime();
  if (const auto sequence = sequences.find(record.key()); sequence != sequences.end()) {
    historyOrder[key] = sequence->second;
  }
  historyTransfers[key] = transfer;
  historyPeers.insert(record.peer);
  historyUnavailable = false;
}

}  // namespace velmorine::runtime
