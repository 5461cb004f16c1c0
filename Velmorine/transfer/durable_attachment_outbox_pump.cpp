// A pump pass: each contact's oldest pending batch is verified from its staged copy and offered
// when the peer is online, or the peer is dialled and, once a minute per batch, reminded. The
// pass blocks nothing: verification runs on io and the offer checks every condition again.

#include "Velmorine/store/history/conversation_history_failure.h"
#include "Velmorine/transfer/durable_attachment_outbox.h"
#include "native/protocol/ascii_case.h"

namespace velmorine::transfer {

using core::lowered;

void DurableAttachmentOutbox::pump() {
  queue_.assert_current();
  const auto history = currentHistory();
  if (!history) return;
  std::vector<store::ConversationOutboxEntry> due;
  try {
    due = pendingRows(*history, std::nullopt, std::nullopt, true, false);
  } catch (...) {
    return;
  }
  for (const auto& row : due) {
    // Memory holds every pending batch from the start on; a row it lacks could not be read
    // then and is passed over untouched, so it holds back only its own contact.
    const auto held = values_.find(row.record.id);
    if (held == values_.end()) continue;
    const RuntimeTransfer transfer = held->second;
    if (row.state != store::ConversationOutboxState::waiting) continue;
    if (verifying_.contains(transfer.id)) continue;
    const auto key = keyOf(transfer.peerID, transfer.contactID);
    if (!key || *key != row.recipientKey) continue;
    if (!isAllowed(transfer.peerID, transfer.contactID)) continue;
    const bool isOnline = online && online(transfer.peerID, *key);
    if (!isOnline) {
      if (connect) connect(transfer.peerID);
      const double now = services_.wallClock ? services_.wallClock() : 0;
      const auto next = nextReminder_.find(transfer.id);
      if (now < (next == nextReminder_.end() ? 0.0 : next->second)) continue;
      nextReminder_[transfer.id] = now + kBatchReminderInterval;
      if (remind) remind(transfer.peerID, *key, transfer.id);
      continue;
    }
    DurableBatchSource source;
    try {
      const auto payload = history->attachmentSource(row);
      const auto json = store::Json::parse(payload.begin(), payload.end());
      source = decodeDurableBatchSource(json);
    } catch (...) {
      report("history.invalidRecord");
      continue;
    }
    if (lowered(source.id.to_string()) != transfer.id) {
      report("history.invalidRecord");
      continue;
    }
    auto cancellation = std::make_shared<ContentCancellation>();
    verifying_[transfer.id] = Verification{cancellation};
    std::weak_ptr<DurableAttachmentOutbox> weak = weak_from_this();
    // Weakly: the history is closed on the runtime queue only.
    std::weak_ptr<store::ConversationHistory> passHistory = history;
    io_->async([weak, handle = queue_.handle(), root = root_, staging = services_.staging,
                source = std::move(source), cancellation, transfer, passHistory, row] {
      std::shared_ptr<PreparedBatch> batch;
      std::exception_ptr failure;
      try {
        batch = reopenStagedBatch(source, root, *cancellation, staging);
      } catch (...) {
        failure = std::current_exception();
      }
      handle.async([weak, transfer, cancellation, passHistory, row, batch, failure] {
        if (auto self = weak.lock()) {
          self->offerVerified(transfer, cancellation, passHistory, row, batch, failure);
        }
      });
    });
  }
}

void DurableAttachmentOutbox::offerVerified(
    const RuntimeTransfer& transfer, const std::shared_ptr<ContentCancellation>& cancellation,
    const std::weak_ptr<store::ConversationHistory>& passHistory,
    const store::ConversationOutboxEntry& passRow, std::shared_ptr<PreparedBatch> batch,
    std::exception_ptr failure) {
  if (const auto found = verifying_.find(transfer.id);
      found != verifying_.end() && found->second.cancellation == cancellation) {
    verifying_.erase(found);
  }
  if (cancellation->isCancelled()) {
    failOffer(transfer, passRow, ContentFailure::Case::cancelled);
    return;
  }
  const auto history = currentHistory();
  if (!history || history != passHistory.lock()) return;
  std::optional<store::ConversationOutboxEntry> row;
  try {
    row = pendingRow(*history, transfer);
  } catch (...) {
    return;
  }
  if (!row || row->sequence != passRow.sequence || row->epoch != passRow.epoch ||
      row->state != store::ConversationOutboxState::waiting) {
    return;
  }
  const auto key = keyOf(transfer.peerID, transfer.contactID);
  if (!key || *key != row->recipientKey) return;
  if (!isAllowed(transfer.peerID, transfer.contactID)) return;
  if (failure) {
    failOffer(transfer, passRow, contentFailureOf(failure));
    return;
  }
  if (!online || !online(transfer.peerID, *key)) return;
  // The row goes to sending before the engine hears of the batch: its first report finds it
  // there. Memory takes the stored copy of this move.
  const auto current = values_.find(transfer.id);
  RuntimeTransfer sending = current != values_.end() ? current->second : transfer;
  try {
    writeMove(*history, *row, store::ConversationOutboxState::sending, sending);
  } catch (...) {
    failOffer(transfer, passRow, contentFailureOf(std::current_exception()));
    return;
  }
  remember(sending, row->sequence);
  try {
    if (!offer) throw ContentFailure(ContentFailure::Case::access);
    offer(std::move(batch), transfer.peerID);
  } catch (...) {
    failOffer(transfer, passRow, contentFailureOf(std::current_exception()));
    return;
  }
  notifyChanged();
}

void DurableAttachmentOutbox::failOffer(const RuntimeTransfer& transfer,
                                        const store::ConversationOutboxEntry& passRow,
                                        ContentFailure::Case failure) {
  const auto history = currentHistory();
  std::optional<store::ConversationOutboxEntry> row;
  if (history) {
    try {
      row = pendingRow(*history, transfer);
    } catch (...) {
      row.reset();
    }
  }
  if (row && row->epoch == passRow.epoch &&
      (row->state == store::ConversationOutboxState::waiting ||
       row->state == store::ConversationOutboxState::sending)) {
    const auto current = values_.find(transfer.id);
    RuntimeTransfer failed = current != values_.end() ? current->second : transfer;
    failed.state = TransferState::unconfirmed;
    failed.error = transferErrorKey(failure);
    failed.canRetryQueued = true;
    try {
      writeMove(*history, *row, store::ConversationOutboxState::attention, failed);
      remember(failed, row->sequence);
    } catch (...) {
      // The row stays where it is and memory with it; the user sees the stored state.
    }
  }
  notifyChanged();
}

void DurableAttachmentOutbox::stopVerification(const std::string& id) {
  const auto found = verifying_.find(id);
  if (found == verifying_.end()) return;
  found->second.cancellation->cancel();
}

}  // namespace velmorine::transfer
