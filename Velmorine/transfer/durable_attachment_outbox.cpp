// The outbox's construction, its memory, and enqueue: a batch is staged on io, then recorded
// with its outbox and source rows in one transaction back on the runtime queue.

#include "Velmorine/transfer/durable_attachment_outbox.h"

#include <algorithm>

#include "Velmorine/store/history/conversation_history_failure.h"
#include "native/product/product_identifier.h"
#include "native/protocol/ascii_case.h"

namespace velmorine::transfer {

using core::lowered;

namespace {

std::string orderKey(const RuntimeTransfer& transfer) {
  return "transfer:" + lowered(transfer.contactID) + ":" + lowered(transfer.id);
}

// The batch's display name: its first entry's top-level component.
std::string batchName(const PreparedBatch& batch) {
  if (batch.entries().empty()) return "Velmorine";
  const std::string& path = batch.entries().front().path;
  return path.substr(0, path.find('/'));
}

}  // namespace

std::shared_ptr<DurableAttachmentOutbox> DurableAttachmentOutbox::create(
    platform::SerialQueue& queue, ContentUrl root, Services services) {
  return std::shared_ptr<DurableAttachmentOutbox>(
      new DurableAttachmentOutbox(queue, std::move(root), std::move(services)));
}

DurableAttachmentOutbox::DurableAttachmentOutbox(platform::SerialQueue& queue, ContentUrl root,
                                                 Services services)
    : queue_(queue),
      root_(std::move(root)),
      services_(std::move(services)),
      io_(std::make_unique<platform::SerialQueue>(product_scoped("attachment-outbox"),
                                                  queue.clock())) {}

// The io queue goes with the outbox; file work not yet run is dropped, and a partial staging
// folder it leaves is swept at the next start.
DurableAttachmentOutbox::~DurableAttachmentOutbox() = default;

void DurableAttachmentOutbox::backOnQueue(std::function<void(DurableAttachmentOutbox&)> work) {
  std::weak_ptr<DurableAttachmentOutbox> weak = weak_from_this();
  queue_.handle().async([weak, work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

DurableAttachmentOutbox::History DurableAttachmentOutbox::currentHistory() const {
  return history ? history() : nullptr;
}

std::optional<std::vector<uint8_t>> DurableAttachmentOutbox::keyOf(
    const std::string& peerID, const std::string& contactID) const {
  if (!recipientKey) return std::nullopt;
  auto key = recipientKey(peerID, contactID);
  if (!key || key->size() != 32) return std::nullopt;
  return key;
}

bool DurableAttachmentOutbox::isAllowed(const std::string& peerID,
                                        const std::string& contactID) const {
  return allowed && allowed(peerID, contactID);
}

void DurableAttachmentOutbox::notifyChanged() const {
  if (changed) changed();
}

void DurableAttachmentOutbox::report(const std::string& code) const {
  if (services_.diagnostic) services_.diagnostic(code);
}

std::vector<store::ConversationOutboxEntry> DurableAttachmentOutbox::pendingRows(
    store::ConversationHistory& history, const std::optional<std::string>& contact,
    const std::optional<std::string>& id, bool oldestOnly, bool withPayload, bool allStates) const {
  store::ConversationOutboxQuery query;
  query.kind = "transfer";
  if (contact) query.peer = lowered(*contact);
  if (id) query.id = lowered(*id);
  query.oldestOnly = oldestOnly;
  query.limit = 200;
  query.allStates = allStates;
  query.withPayload = withPayload;
  return history.pendingOutboxEntries(query);
}

std::optional<store::ConversationOutboxEntry> DurableAttachmentOutbox::pendingRow(
    store::ConversationHistory& history, const RuntimeTransfer& transfer, bool allStates) const {
  // An identifier the history cannot hold has no row.
  if (!store::ConversationHistory::isCanonicalIdentifier(lowered(transfer.contactID)) ||
      !store::ConversationHistory::isCanonicalIdentifier(lowered(transfer.id))) {
    return std::nullopt;
  }
  auto rows = pendingRows(history, transfer.contactID, transfer.id, false, false, allStates);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

store::ConversationHistoryRecord DurableAttachmentOutbox::recordOf(
    const RuntimeTransfer& transfer) {
  store::ConversationHistoryRecord record;
  record.kind = "transfer";
  record.peer = lowered(transfer.contactID);
  record.id = lowered(transfer.id);
  record.payload = encodeRuntimeTransferPayload(transfer);
  record.unsettled = !isEnded(transfer.state);
  return record;
}

void DurableAttachmentOutbox::writeMove(store::ConversationHistory& history,
                                        const store::ConversationOutboxEntry& row,
                                        store::ConversationOutboxState state,
                                        const RuntimeTransfer& transfer) {
  history.transitionOutboxEntry(row, state, recordOf(transfer), 0);
  storedState_[transfer.id] = transfer.state;
}

std::vector<RuntimeTransfer> DurableAttachmentOutbox::values() const {
  std::vector<RuntimeTransfer> result;
  result.reserve(values_.size());
  for (const auto& [id, transfer] : values_) result.push_back(transfer);
  return result;
}

std::optional<RuntimeTransfer> DurableAttachmentOutbox::transfer(const std::string& id) const {
  const auto found = values_.find(id);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

void DurableAttachmentOutbox::remember(const RuntimeTransfer& transfer, int64_t sequence) {
  values_[transfer.id] = transfer;
  known_.insert(transfer.id);
  order_[orderKey(transfer)] = sequence;
  std::vector<const RuntimeTransfer*> settled;
  for (const auto& [id, held] : values_) {
    if (isEnded(held.state) && held.canRetryQueued != true) settled.push_back(&held);
  }
  if (settled.size() <= kSettledTransfersInMemory) return;
  std::ranges::stable_sort(settled, [](const RuntimeTransfer* a, const RuntimeTransfer* b) {
    return a->createdAt < b->createdAt;
  });
  std::vector<std::pair<std::string, std::string>> evicted;
  for (std::size_t i = 0; i < settled.size() - kSettledTransfersInMemory; ++i) {
    evicted.emplace_back(settled[i]->id, orderKey(*settled[i]));
  }
  for (const auto& [id, key] : evicted) {
    values_.erase(id);
    order_.erase(key);
    lastProgressWrite_.erase(id);
    storedState_.erase(id);
  }
}

void DurableAttachmentOutbox::complete(const EnqueueDone& done,
                                       std::optional<ContentFailure::Case> result) const {
  if (!done) return;
  services_.mainQueue([done, result] { done(result); });
}

void DurableAttachmentOutbox::checkEnqueueAllowed(store::ConversationHistory& history,
                                                  const std::string& peerID,
                                                  const std::string& contactID) const {
  if (!isAllowed(peerID, contactID)) throw ContentFailure(ContentFailure::Case::access);
  const auto pending = pendingRows(history, std::nullopt, std::nullopt, false, false);
  if (pending.size() >= kMaximumPendingBatches) {
    throw ContentFailure(ContentFailure::Case::access);
  }
}

void DurableAttachmentOutbox::enqueue(std::shared_ptr<PreparedBatch> batch,
                                      const std::string& peerID, const std::string& contactID,
                                      std::shared_ptr<ContentCancellation> cancellation,
                                      EnqueueDone done) {
  queue_.assert_current();
  const auto history = currentHistory();
  std::optional<std::vector<uint8_t>> key;
  int64_t epoch = 0;
  std::vector<TransferDisplayItem> items;
  try {
    if (!batch || !history) throw ContentFailure(ContentFailure::Case::access);
    key = keyOf(peerID, contactID);
    if (!key) throw ContentFailure(ContentFailure::Case::access);
    checkEnqueueAllowed(*history, peerID, contactID);
    epoch = history->epoch(lowered(contactID));
    items.reserve(batch->entries().size());
    for (std::size_t index = 0; index < batch->entries().size(); ++index) {
      std::optional<std::vector<uint8_t>> bookmark;
      try {
        bookmark = batch->sourceBookmark(static_cast<int64_t>(index));
      } catch (...) {
        bookmark.reset();  // a preview only: the batch goes without it
      }
      items.push_back({batch->entries()[index], std::move(bookmark)});
    }
  } catch (...) {
    complete(done, contentFailureOf(std::current_exception()));
    return;
  }
  if (!cancellation) cancellation = std::make_shared<ContentCancellation>();
  std::weak_ptr<DurableAttachmentOutbox> weak = weak_from_this();
  io_->async([weak, handle = queue_.handle(), root = root_, staging = services_.staging, batch,
              peerID, contactID, key = std::move(*key), epoch, cancellation,
              items = std::move(items), done = std::move(done)]() mutable {
    std::optional<DurableBatchSource> source;
    std::optional<ContentFailure::Case> failure;
    try {
      source = stageBatch(root, *batch, *cancellation, staging);
    } catch (...) {
      failure = contentFailureOf(std::current_exception());
    }
    handle.async([weak, batch, peerID, contactID, key = std::move(key), epoch, cancellation,
                  items = std::move(items), source = std::move(source), failure,
                  done = std::move(done)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      self->finishEnqueue(std::move(batch), peerID, contactID, std::move(key), epoch, cancellation,
                          std::move(items), std::move(source), failure, std::move(done));
    });
  });
}

void DurableAttachmentOutbox::finishEnqueue(
    std::shared_ptr<PreparedBatch> batch, const std::string& peerID, const std::string& contactID,
    std::vector<uint8_t> key, int64_t epoch, std::shared_ptr<ContentCancellation> cancellation,
    std::vector<TransferDisplayItem> items, std::optional<DurableBatchSource> source,
    std::optional<ContentFailure::Case> stagingFailure, EnqueueDone done) {
  // Staging removes what it made itself; a folder it found (`conflict`) is an earlier
  // enqueue's, whose rows may be recorded, so nothing is removed after a staging failure.
  if (stagingFailure) {
    complete(done, stagingFailure);
    return;
  }
  RuntimeTransfer transfer;
  int64_t sequence = 0;
  try {
    if (cancellation->isCancelled()) throw ContentFailure(ContentFailure::Case::cancelled);
    const auto history = currentHistory();
    if (!history) throw ContentFailure(ContentFailure::Case::access);
    const auto keyNow = keyOf(peerID, contactID);
    if (!keyNow || *keyNow != key) throw ContentFailure(ContentFailure::Case::access);
    checkEnqueueAllowed(*history, peerID, contactID);
    transfer.id = lowered(batch->id().to_string());
    transfer.peerID = peerID;
    transfer.contactID = contactID;
    transfer.name = batchName(*batch);
    transfer.outgoing = true;
    transfer.totalBytes = batch->totalBytes();
    transfer.state = TransferState::queued;
    transfer.itemCount = static_cast<int64_t>(batch->entries().size());
    transfer.items = TransferItems(std::move(items));
    transfer.createdAt = services_.now ? services_.now() : store::Date{};
    const auto record = recordOf(transfer);
    const auto sourceJson = encodeJson(*source).dump();
    const std::vector<uint8_t> sourcePayload(sourceJson.begin(), sourceJson.end());
    sequence = history->enqueue(record, key, epoch, sourcePayload);
  } catch (...) {
    const auto failure = contentFailureOf(std::current_exception());
    const auto id = batch->id();
    io_->async([id, root = root_] {
      try {
        removeStagedBatch(id, root);
      } catch (...) {
      }
    });
    // The removal is queued before the completion, so a caller that hears of the failure and
    // then waits on io finds the folder gone.
    complete(done, failure);
    return;
  }
  if (services_.checkpoint) services_.checkpoint("outbox.enqueued");
  storedState_[transfer.id] = transfer.state;
  remember(transfer, sequence);
  complete(done, std::nullopt);
  notifyChanged();
  pump();
}

}  // namespace velmorine::transfer
