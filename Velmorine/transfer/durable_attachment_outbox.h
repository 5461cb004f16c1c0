#pragma once

// The durable attachment outbox: every outgoing batch is copied into a private staging folder,
// recorded in the history with its outbox row and source row, and kept until its peer has
// committed it, across restarts. It never reaches the network, the store or the engine itself:
// the runtime answers its hooks. Everything but file work runs on the runtime's queue; the
// copies, checks and removals run on its own io queue.
//
// Memory follows every move of a row this outbox makes, so the history is read back only once,
// at the start (`restore`); a pass over due rows takes their transfers from memory and reads
// the rows without their payloads.
//
// The body is spread over durable_attachment_outbox*.cpp: enqueue and memory here, pumping and
// offering in _pump, recording, restoring and sweeping in _record, user actions in _actions.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/transfer/batch_staging.h"
#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/durable_batch_source.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "platform/dispatch/serial_queue.h"

namespace velmorine::transfer {

// At most this many batches are pending at once; the next is refused with `access`.
inline constexpr std::size_t kMaximumPendingBatches = 128;
// Settled, not retryable outgoing transfers kept in memory besides the pending ones.
inline constexpr std::size_t kSettledTransfersInMemory = 50;
// Wall-clock seconds between two reminders for one batch.
inline constexpr double kBatchReminderInterval = 60.0;
// Progress-only changes of one batch reach the history at most once in this many seconds.
inline constexpr double kProgressWriteInterval = 1.0;

class DurableAttachmentOutbox : public std::enable_shared_from_this<DurableAttachmentOutbox> {
 public:
  using EnqueueDone = std::function<void(std::optional<ContentFailure::Case>)>;

  // What the outbox takes from its surroundings besides the hooks.
  struct Services {
    // Posts a completion to the interface's main queue; required.
    std::function<void(std::function<void()>)> mainQueue;
    // Wall-clock seconds since 1970 (reminder windows).
    std::function<double()> wallClock;
    // The date stamped on a new batch.
    std::function<store::Date()> now;
    StagingServices staging;
    // Reports "history.invalidRecord" for a stored row it passes over.
    std::function<void(const std::string&)> diagnostic;
    // Named points ("outbox.enqueued" once the rows are committed), where tests stop a run.
    std::function<void(std::string_view point)> checkpoint;
  };

  static std::shared_ptr<DurableAttachmentOutbox> create(platform::SerialQueue& queue,
                                                         ContentUrl root, Services services);
  ~DurableAttachmentOutbox();
  DurableAttachmentOutbox(const DurableAttachmentOutbox&) = delete;
  DurableAttachmentOutbox& operator=(const DurableAttachmentOutbox&) = delete;

  // Hooks, installed by the runtime; each is called on the runtime queue.
  std::function<std::shared_ptr<store::ConversationHistory>()> history;
  std::function<std::optional<std::vector<uint8_t>>(const std::string& peerID,
                                                    const std::string& contactID)>
      recipientKey;
  std::function<bool(const std::string& peerID, const std::string& contactID)> allowed;
  std::function<bool(const std::string& peerID, const std::vector<uint8_t>& key)> online;
  // Throws when the engine did not take the batch.
  std::function<void(std::shared_ptr<PreparedBatch> batch, const std::string& peerID)> offer;
  std::function<void(const std::string& peerID)> connect;
  std::function<void(const std::string& peerID, const std::vector<uint8_t>& key,
                     const std::string& transferID)>
      remind;
  std::function<void()> changed;

  const ContentUrl& root() const { return root_; }
  // The io queue; tests wait on it to let file work finish.
  platform::SerialQueue& io() { return *io_; }

  // --- Enqueue and memory (durable_attachment_outbox.cpp) ---

  // Stages and records the batch; `done` runs once, on the main queue, with none on success.
  void enqueue(std::shared_ptr<PreparedBatch> batch, const std::string& peerID,
               const std::string& contactID, std::shared_ptr<ContentCancellation> cancellation,
               EnqueueDone done);
  void remember(const RuntimeTransfer& transfer, int64_t sequence);

  // History key to sequence number of every batch held in memory.
  const std::map<std::string, int64_t>& order() const { return order_; }
  std::vector<RuntimeTransfer> values() const;
  // Whether the transfer was ever one of its batches since the outbox was made.
  bool knows(const std::string& transferID) const { return known_.contains(transferID); }
  std::optional<RuntimeTransfer> transfer(const std::string& id) const;
  bool isVerifying(const std::string& id) const { return verifying_.contains(id); }

  // --- Pumping and offering (durable_attachment_outbox_pump.cpp) ---

  void pump();

  // --- Recording, restoring and sweeping (durable_attachment_outbox_record.cpp) ---

  // True when the transfer is one of its batches and was handled; throws the history's errors.
  bool record(const RuntimeTransfer& transfer);
  // Loads the pending batches into memory; run once, when the history opens.
  void restore();
  void sweep();
  void removeStaging(const std::string& transferID);

  // --- User actions (durable_attachment_outbox_actions.cpp) ---

  bool cancel(const std::string& transferID);
  void retry(const std::string& transferID);
  void forget(const std::string& contactID);

 private:
  DurableAttachmentOutbox(platform::SerialQueue& queue, ContentUrl root, Services services);

  using History = std::shared_ptr<store::ConversationHistory>;

  struct Verification {
    std::shared_ptr<ContentCancellation> cancellation;
  };

  // Runs `work` on the runtime queue with this outbox, unless the outbox is gone by then.
  void backOnQueue(std::function<void(DurableAttachmentOutbox&)> work);
  History currentHistory() const;
  std::optional<std::vector<uint8_t>> keyOf(const std::string& peerID,
                                            const std::string& contactID) const;
  bool isAllowed(const std::string& peerID, const std::string& contactID) const;
  void notifyChanged() const;
  void report(const std::string& code) const;
  // Pending rows of kind "transfer": of one batch when `contact` and `id` are given.
  std::vector<store::ConversationOutboxEntry> pendingRows(store::ConversationHistory& history,
                                                          const std::optional<std::string>& contact,
                                                          const std::optional<std::string>& id,
                                                          bool oldestOnly, bool withPayload,
                                                          bool allStates = false) const;
  std::optional<store::ConversationOutboxEntry> pendingRow(store::ConversationHistory& history,
                                                           const RuntimeTransfer& transfer,
                                                           bool allStates = false) const;
  static store::ConversationHistoryRecord recordOf(const RuntimeTransfer& transfer);
  // The history writes of every move.
  void writeMove(store::ConversationHistory& history, const store::ConversationOutboxEntry& row,
                 store::ConversationOutboxState state, const RuntimeTransfer& transfer);

  void finishEnqueue(std::shared_ptr<PreparedBatch> batch, const std::string& peerID,
                     const std::string& contactID, std::vector<uint8_t> key, int64_t epoch,
                     std::shared_ptr<ContentCancellation> cancellation,
                     std::vector<TransferDisplayItem> items,
                     std::optional<DurableBatchSource> source,
                     std::optional<ContentFailure::Case> stagingFailure, EnqueueDone done);
  void complete(const EnqueueDone& done, std::optional<ContentFailure::Case> result) const;
  void checkEnqueueAllowed(store::ConversationHistory& history, const std::string& peerID,
                           const std::string& contactID) const;

  void offerVerified(const RuntimeTransfer& transfer,
                     const std::shared_ptr<ContentCancellation>& cancellation,
                     const std::weak_ptr<store::ConversationHistory>& passHistory,
                     const store::ConversationOutboxEntry& passRow,
                     std::shared_ptr<PreparedBatch> batch, std::exception_ptr failure);
  void failOffer(const RuntimeTransfer& transfer, const store::ConversationOutboxEntry& passRow,
                 ContentFailure::Case failure);
  void stopVerification(const std::string& id);

  platform::SerialQueue& queue_;
  ContentUrl root_;
  Services services_;
  std::unique_ptr<platform::SerialQueue> io_;
  std::map<std::string, RuntimeTransfer> values_;
  std::set<std::string> known_;
  std::map<std::string, Verification> verifying_;
  std::map<std::string, double> nextReminder_;
  std::map<std::string, int64_t> order_;
  // Uptime of the last progress write of each batch (the throttle of `record`).
  std::map<std::string, double> lastProgressWrite_;
  // The state each batch's stored record holds, as far as this outbox wrote or read it.
  std::map<std::string, TransferState> storedState_;
};

}  // namespace velmorine::transfer
