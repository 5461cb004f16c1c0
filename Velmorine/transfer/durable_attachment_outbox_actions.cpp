// The user's actions on outgoing batches: cancel, retry, and forget a cleared contact's.

#include "Velmorine/transfer/durable_attachment_outbox.h"

namespace velmorine::transfer {

bool DurableAttachmentOutbox::cancel(const std::string& transferID) {
  queue_.assert_current();
  const auto history = currentHistory();
  if (!history) return false;
  const auto held = values_.find(transferID);
  if (held == values_.end()) return false;
  const auto row = pendingRow(*history, held->second);
  if (!row) return false;
  RuntimeTransfer cancelled = held->second;
  cancelled.state = TransferState::cancelled;
  cancelled.error.reset();
  cancelled.canRetryQueued = false;
  writeMove(*history, *row, store::ConversationOutboxState::cancelled, cancelled);
  stopVerification(transferID);
  remember(cancelled, row->sequence);
  removeStaging(transferID);
  return true;
}

void DurableAttachmentOutbox::retry(const std::string& transferID) {
  queue_.assert_current();
  const auto history = currentHistory();
  if (!history) return;
  const auto held = values_.find(transferID);
  if (held == values_.end()) return;
  const auto row = pendingRow(*history, held->second);
  if (!row || row->state != store::ConversationOutboxState::attention) return;
  RuntimeTransfer queued = held->second;
  queued.state = TransferState::queued;
  queued.error.reset();
  queued.canRetryQueued = false;
  queued.bytes = 0;
  writeMove(*history, *row, store::ConversationOutboxState::waiting, queued);
  remember(queued, row->sequence);
  pump();
  notifyChanged();
}

void DurableAttachmentOutbox::forget(const std::string& contactID) {
  queue_.assert_current();
  std::vector<std::string> ids;
  for (const auto& [id, transfer] : values_) {
    if (transfer.contactID == contactID) ids.push_back(id);
  }
  for (const auto& id : ids) {
    stopVerification(id);
    values_.erase(id);
    lastProgressWrite_.erase(id);
    storedState_.erase(id);
    removeStaging(id);
  }
  const std::string prefix = "transfer:" + contactID + ":";
  for (auto it = order_.lower_bound(prefix); it != order_.end() && it->first.starts_with(prefix);) {
    it = order_.erase(it);
  }
}

}  // namespace velmorine::transfer
