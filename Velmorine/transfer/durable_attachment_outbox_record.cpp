// The outbox's rows, staging folders and memory kept in step: engine reports recorded (progress
// throttled like every other transfer's), pending batches restored once at the start, and
// staging folders without a pending row swept.

#include <filesystem>

#include "Velmorine/store/history/conversation_history_failure.h"
#include "Velmorine/transfer/durable_attachment_outbox.h"
#include "native/protocol/ascii_case.h"

namespace velmorine::transfer {

using core::lowered;

namespace {

// The identifier a staging folder name stands for, when it is exactly a lower-case UUID text.
std::optional<core::Uuid> stagingIdentifier(const std::string& name) {
  const auto id = core::Uuid::parse(name);
  if (!id || lowered(id->to_string()) != name) return std::nullopt;
  return id;
}

}  // namespace

bool DurableAttachmentOutbox::record(const RuntimeTransfer& transfer) {
  queue_.assert_current();
  if (!transfer.outgoing) return false;
  const auto history = currentHistory();
  if (!history) return false;
  const auto held = values_.find(transfer.id);
  const bool ended = isEnded(transfer.state);
  // Most reports are progress of a running batch: settled against memory, without a read.
  if (held != values_.end() && !ended) {
    RuntimeTransfer next = transfer;
    next.items = held->second.items;
    next.createdAt = held->second.createdAt;
    next.canRetryQueued = held->second.canRetryQueued;
    const bool running =
        !isEnded(held->second.state) && held->second.state != TransferState::queued;
    if (running && next == held->second) return true;
    const auto stored = storedState_.find(transfer.id);
    const auto last = lastProgressWrite_.find(transfer.id);
    if (running && stored != storedState_.end() && stored->second == next.state &&
        last != lastProgressWrite_.end() && queue_.now() - last->second < kProgressWriteInterval) {
      values_[transfer.id] = next;  // memory follows; the history gets the next write
      return true;
    }
  }
  const auto row = pendingRow(*history, transfer, true);
  if (!row) {
    if (known_.contains(transfer.id)) throw store::ConversationHistoryFailure::staleCallback();
    return false;
  }
  if (row->state == store::ConversationOutboxState::delivered ||
      row->state == store::ConversationOutboxState::cancelled) {
    return true;  // settled: a late report changes nothing
  }
  RuntimeTransfer stored;
  if (held != values_.end()) {
    stored = held->second;
  } else {
    auto rows = pendingRows(*history, transfer.contactID, transfer.id, false, true, true);
    if (rows.empty()) throw store::ConversationHistoryFailure::staleCallback();
    stored = decodeRuntimeTransferPayload(rows.front().record.payload);
  }
  RuntimeTransfer next = transfer;
  next.items = stored.items;
  next.createdAt = stored.createdAt;
  if (!ended) {
    if (row->state != store::ConversationOutboxState::sending) {
      throw store::ConversationHistoryFailure::staleCallback();
    }
    next.canRetryQueued = stored.canRetryQueued;
    if (next == stored && storedState_.contains(transfer.id)) {
      remember(next, row->sequence);
      return true;
    }
    auto record = recordOf(next);
    history->execute("BEGIN IMMEDIATE");
    try {
      history->saveRecords({record}, {{record.peer, row->epoch}});
      history->execute("COMMIT");
    } catch (...) {
      try {
        history->execute("ROLLBACK");
      } catch (...) {
      }
      throw;
    }
    storedState_[next.id] = next.state;
    lastProgressWrite_[next.id] = queue_.now();
    remember(next, row->sequence);
    return true;
  }
  // Only the attempt that is sending can end: a report of an earlier attempt, arriving after a
  // retry put the row back to waiting (or after the row went to attention), would undo that.
  if (row->state != store::ConversationOutboxState::sending) return true;
  store::ConversationOutboxState moveTo;
  bool removeFolder = false;
  switch (next.state) {
    case TransferState::committed:
      moveTo = store::ConversationOutboxState::delivered;
      next.canRetryQueued = false;
      removeFolder = true;
      break;
    case TransferState::rejected:
    case TransferState::cancelled:
      moveTo = store::ConversationOutboxState::cancelled;
      next.canRetryQueued = false;
      removeFolder = true;
      break;
    default:  // unconfirmed, failed: the batch waits for the user's retry
      moveTo = store::ConversationOutboxState::attention;
      next.state = TransferState::unconfirmed;
      next.canRetryQueued = true;
      // An attempt the engine ended with its peer's session gives no cause; the user sees why
      // the batch waits.
      if (!next.error) next.error = "transfer.error.disconnected";
      break;
  }
  if (next == stored && row->state == moveTo) {
    remember(next, row->sequence);
    return true;
  }
  writeMove(*history, *row, moveTo, next);
  if (removeFolder) removeStaging(next.id);
  remember(next, row->sequence);
  return true;
}

void DurableAttachmentOutbox::restore() {
  queue_.assert_current();
  const auto history = currentHistory();
  if (!history) return;
  const auto rows = pendingRows(*history, std::nullopt, std::nullopt, false, true);
  for (const auto& row : rows) {
    RuntimeTransfer transfer;
    try {
      transfer = decodeRuntimeTransferPayload(row.record.payload);
    } catch (...) {
      // One bad row must not keep every other batch from leaving; it stays as it is, and so
      // does its staging folder (the sweep keeps folders by row).
      report("history.invalidRecord");
      continue;
    }
    if (lowered(transfer.id) != row.record.id || lowered(transfer.contactID) != row.record.peer ||
        !transfer.outgoing) {
      report("history.invalidRecord");
      continue;
    }
    switch (row.state) {
      case store::ConversationOutboxState::uncertain: {
        // It was being sent when the program stopped: the receiver may or may not have it.
        transfer.state = TransferState::unconfirmed;
        transfer.error = "transfer.error.disconnected";
        transfer.canRetryQueued = true;
        try {
          writeMove(*history, row, store::ConversationOutboxState::attention, transfer);
        } catch (...) {
          report("history.invalidRecord");
          continue;
        }
        break;
      }
      case store::ConversationOutboxState::attention:
        // The stored cause stays: "changed" must not become "disconnected" in memory.
        transfer.state = TransferState::unconfirmed;
        if (!transfer.error) transfer.error = "transfer.error.disconnected";
        transfer.canRetryQueued = true;
        break;
      case store::ConversationOutboxState::waiting:
        transfer.state = TransferState::queued;
        transfer.error.reset();
        transfer.canRetryQueued = false;
        break;
      default:
        break;
    }
    storedState_[transfer.id] = transfer.state;
    remember(transfer, row.sequence);
  }
}

void DurableAttachmentOutbox::sweep() {
  queue_.assert_current();
  const auto history = currentHistory();
  if (!history) return;
  std::set<std::string> kept;
  try {
    for (const auto& row : pendingRows(*history, std::nullopt, std::nullopt, false, false)) {
      kept.insert(row.record.id);
    }
  } catch (...) {
    return;
  }
  // Batches staged since memory was filled are kept too: their rows may be newer than the read.
  for (const auto& [id, transfer] : values_) {
    if (!isEnded(transfer.state) || transfer.canRetryQueued == true) kept.insert(id);
  }
  io_->async([root = root_, kept = std::move(kept)] {
    std::error_code error;
    std::filesystem::directory_iterator entries(root.path(), error);
    if (error) return;
    std::vector<core::Uuid> removable;
    for (const auto& entry : entries) {
      const std::string name = entry.path().filename().string();
      const auto id = stagingIdentifier(name);
      if (!id || kept.contains(name)) continue;
      removable.push_back(*id);
    }
    for (const auto& id : removable) {
      try {
        removeStagedBatch(id, root);
      } catch (...) {
        // Left for the next start.
      }
    }
  });
}

void DurableAttachmentOutbox::removeStaging(const std::string& transferID) {
  const auto id = stagingIdentifier(lowered(transferID));
  if (!id) return;
  io_->async([id = *id, root = root_] {
    try {
      removeStagedBatch(id, root);
    } catch (...) {
    }
  });
}

}  // namespace velmorine::transfer
