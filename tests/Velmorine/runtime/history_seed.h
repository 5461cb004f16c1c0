#pragma once

// What a previous run left in a data folder: history records, outbox rows and store
// documents, written before the runtime under test opens the folder.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Velmorine/runtime/runtime_message.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "native/protocol/uuid.h"

namespace velmorine::runtime::testing {

inline constexpr const char* kHistoryFileName = "conversation-history-v2.sqlite";

inline std::string newID() { return core::Uuid::random().to_string(); }

inline std::unique_ptr<store::ConversationHistory> openSeedHistory(
    const std::filesystem::path& folder) {
  return std::make_unique<store::ConversationHistory>(folder / kHistoryFileName);
}

inline RuntimeMessage outgoingMessage(const std::string& contact, MessageDelivery delivery,
                                      const std::string& text = "hello") {
  RuntimeMessage message;
  message.id = newID();
  message.frameID = newID();
  message.peerID = contact;
  message.contactID = contact;
  message.text = text;
  message.outgoing = true;
  message.date = store::Date{800000000};
  message.delivery = delivery;
  return message;
}

inline store::ConversationHistoryRecord recordOf(const RuntimeMessage& message) {
  store::ConversationHistoryRecord record;
  record.kind = "message";
  record.peer = message.contactID;
  record.id = message.id;
  record.payload = encodeRuntimeMessage(message);
  record.unsettled =
      message.delivery == MessageDelivery::queued || message.delivery == MessageDelivery::sending;
  return record;
}

inline transfer::RuntimeTransfer transferOf(const std::string& contact,
                                            transfer::TransferState state) {
  transfer::RuntimeTransfer transfer;
  transfer.id = newID();
  transfer.peerID = contact;
  transfer.contactID = contact;
  transfer.name = "Photos";
  transfer.outgoing = true;
  transfer.totalBytes = 100;
  transfer.state = state;
  transfer.createdAt = store::Date{800000000};
  return transfer;
}

inline store::ConversationHistoryRecord recordOf(const transfer::RuntimeTransfer& transfer) {
  store::ConversationHistoryRecord record;
  record.kind = "transfer";
  record.peer = transfer.contactID;
  record.id = transfer.id;
  record.payload = transfer::encodeRuntimeTransferPayload(transfer);
  record.unsettled = !transfer::isEnded(transfer.state);
  return record;
}

// Writes the records in one transaction; gives their sequences.
inline store::ConversationSequences saveSeedRecords(
    store::ConversationHistory& history,
    const std::vector<store::ConversationHistoryRecord>& records) {
  history.execute("BEGIN IMMEDIATE");
  auto sequences = history.saveRecords(records, {});
  history.execute("COMMIT");
  return sequences;
}

inline std::vector<uint8_t> peerKey(uint8_t fill = 7) { return std::vector<uint8_t>(32, fill); }

// Queues the message in the outbox, as sending it would, and gives the row.
inline store::ConversationOutboxEntry enqueueSeed(store::ConversationHistory& history,
                                                  const RuntimeMessage& message,
                                                  const std::vector<uint8_t>& key = peerKey()) {
  history.enqueue(recordOf(message), key, history.epoch(message.contactID), std::nullopt);
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.peer = message.contactID;
  query.id = message.id;
  return history.pendingOutboxEntries(query).front();
}

// Queues the messages in one transaction, as many sends would one by one, each row waiting and
// bound to `key`.
inline void enqueueSeeds(store::ConversationHistory& history,
                         const std::vector<RuntimeMessage>& messages,
                         const std::vector<uint8_t>& key = peerKey()) {
  std::vector<store::ConversationHistoryRecord> records;
  for (const auto& message : messages) records.push_back(recordOf(message));
  std::string hex;
  for (const uint8_t byte : key) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  history.execute("BEGIN IMMEDIATE");
  const auto sequences = history.saveRecords(records, {});
  for (const auto& record : records) {
    const int64_t epoch = history.epoch(record.peer);
    history.execute("INSERT INTO message_outbox(seq,recipient_key,epoch) VALUES(" +
                    std::to_string(sequences.at(record.key())) + ",X'" + hex + "'," +
                    std::to_string(epoch) + ")");
  }
  history.execute("COMMIT");
}

inline std::vector<store::ConversationOutboxEntry> outboxRows(store::ConversationHistory& history,
                                                              const std::string& id) {
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.id = id;
  query.allStates = true;
  return history.pendingOutboxEntries(query);
}

inline std::optional<store::ConversationHistoryRecord> storedRecord(
    store::ConversationHistory& history, const std::string& kind, const std::string& peer,
    const std::string& id) {
  const auto page = history.loadRecords(peer, std::nullopt, 200, false);
  for (const auto& record : page.records) {
    if (record.kind == kind && record.id == id) return record;
  }
  return std::nullopt;
}

// Changes the store document of a folder no runtime holds.
inline void seedStore(const std::filesystem::path& folder,
                      const store::LocalStore::Change& change) {
  store::LocalStore local(folder);
  local.update(change);
}

}  // namespace velmorine::runtime::testing
