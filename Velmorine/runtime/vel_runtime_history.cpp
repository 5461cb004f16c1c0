// The runtime's window onto the conversation history: records in and out, the bounded
// in-memory window, and the write-back of live state.

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_set>

#include "Velmorine/runtime/history_transaction.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"

namespace velmorine::runtime {

namespace {

constexpr int64_t kUnnumbered = std::numeric_limits<int64_t>::max();

}  // namespace

void VelRuntime::reportInvalidRecord() { diagnose("history.invalidRecord"); }

std::optional<RuntimeMessage> VelRuntime::messageOfRecord(
    const store::ConversationHistoryRecord& record) {
  try {
    auto message = decodeRuntimeMessage(record.payload);
    if (lowered(message.id) == record.id && lowered(message.contactID) == record.peer) {
      return message;
    }
  } catch (const std::exception&) {
  }
  reportInvalidRecord();
  return std::nullopt;
}

std::optional<VelRuntime::ReadableRow> VelRuntime::oldestReadableRow(const std::string& contact,
                                                                     int64_t after) {
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.peer = lowered(contact);
  query.after = after;
  // Almost always the first row is readable; only past a bad one is a whole page read.
  query.limit = 1;
  while (true) {
    std::vector<store::ConversationHistorySkippedRow> skipped;
    const auto rows = history->pendingOutboxEntries(query, &skipped);
    if (!skipped.empty()) reportInvalidRecord();
    for (const auto& row : rows) {
      if (auto message = messageOfRecord(row.record)) return ReadableRow{row, std::move(*message)};
    }
    if (rows.size() < static_cast<size_t>(query.limit)) return std::nullopt;
    query.after = rows.back().sequence;
    query.limit = kOutboxQueryLimit;
  }
}

std::vector<VelRuntime::ReadableRow> VelRuntime::readableOutboxHeads() {
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.oldestOnly = true;
  std::vector<store::ConversationHistorySkippedRow> skipped;
  const auto rows = history->pendingOutboxEntries(query, &skipped);
  if (!skipped.empty()) reportInvalidRecord();
  std::vector<ReadableRow> heads;
  for (const auto& row : rows) {
    if (auto message = messageOfRecord(row.record)) {
      heads.push_back(ReadableRow{row, std::move(*message)});
    } else if (auto next = oldestReadableRow(row.record.peer, row.sequence)) {
      heads.push_back(std::move(*next));
    }
  }
  // A row the store itself cannot read still counts as its contact's oldest there.
  for (const auto& bad : skipped) {
    if (!store::ConversationHistory::isCanonicalIdentifier(bad.peer)) continue;
    if (auto next = oldestReadableRow(bad.peer, bad.sequence)) heads.push_back(std::move(*next));
  }
  std::ranges::sort(heads, {}, [](const ReadableRow& head) { return head.row.sequence; });
  if (heads.size() > static_cast<size_t>(kOutboxQueryLimit)) heads.resize(kOutboxQueryLimit);
  return heads;
}

void VelRuntime::noteMessageWrite(const RuntimeMessage& message,
                                  const store::ConversationHistoryRecord& record,
                                  std::optional<int64_t> sequence) {
  const std::string key = messageKey(message);
  savedHistory[key] = record.payload;
  savedMessages[key] = message;
  if (sequence) historyOrder[key] = *sequence;
  historyPeers.insert(record.peer);
  historyUnavailable = false;
}

std::optional<transfer::RuntimeTransfer> VelRuntime::transferOfRecord(
    const store::ConversationHistoryRecord& record) {
  try {
    auto transfer = transfer::decodeRuntimeTransferPayload(record.payload);
    // The key that earlier versions wrote for a lost connection.
    if (transfer.error == "content.disconnected") transfer.error = "transfer.error.disconnected";
    if (lowered(transfer.id) == record.id && lowered(transfer.contactID) == record.peer) {
      return transfer;
    }
  } catch (const std::exception&) {
  }
  reportInvalidRecord();
  return std::nullopt;
}

store::ConversationHistoryRecord VelRuntime::historyRecord(const RuntimeMessage& message) const {
  store::ConversationHistoryRecord record;
  record.kind = "message";
  record.peer = lowered(message.contactID);
  record.id = lowered(message.id);
  record.payload = encodeRuntimeMessage(message);
  record.unsettled =
      message.delivery == MessageDelivery::queued || message.delivery == MessageDelivery::sending;
  if (!message.outgoing) record.receiptText = message.text;
  return record;
}

void VelRuntime::saveMessage(const RuntimeMessage& message) {
  if (!history) throw store::ConversationHistoryFailure::storage(0);
  const std::string key = messageKey(message);
  if (const auto cached = savedMessages.find(key);
      cached != savedMessages.end() && cached->second == message) {
    return;
  }
  const auto record = historyRecord(message);
  if (const auto saved = savedHistory.find(key);
      saved != savedHistory.end() && saved->second == record.payload) {
    savedMessages[key] = message;
    return;
  }
  const int64_t epoch = history->epoch(record.peer);
  const auto sequences = inImmediateTransaction(*history, [&] {
    return history->saveRecords({record}, {{record.peer, epoch}});
  });
  std::optional<int64_t> sequence;
  if (const auto found = sequences.find(record.key()); found != sequences.end()) {
    sequence = found->second;
  }
  noteMessageWrite(message, record, sequence);
}

void VelRuntime::enqueueMessage(const RuntimeMessage& message,
                                std::span<const uint8_t> recipientKey) {
  if (!history) throw store::ConversationHistoryFailure::storage(0);
  const auto record = historyRecord(message);
  const int64_t epoch = history->epoch(record.peer);
  const int64_t sequence = history->enqueue(record, recipientKey, epoch, std::nullopt);
  noteMessageWrite(message, record, sequence);
}

std::optional<store::ConversationOutboxEntry> VelRuntime::outboxEntry(
    const RuntimeMessage& message) {
  if (!history) return std::nullopt;
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.peer = lowered(message.contactID);
  query.id = lowered(message.id);
  const auto rows = history->pendingOutboxEntries(query);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

bool VelRuntime::hasPendingOutboxRow(const RuntimeMessage& message) {
  try {
    return outboxEntry(message).has_value();
  } catch (...) {
    return false;  // a failed lookup counts as no durable row
  }
}

std::vector<store::ConversationOutboxEntry> VelRuntime::pendingMessageRows() {
  if (!history) return {};
  try {
    store::ConversationOutboxQuery query;
    query.kind = "message";
    return history->pendingOutboxEntries(query);
  } catch (...) {
    return {};
  }
}

void VelRuntime::loadConversationOnQueue(const std::string& contact, bool earlier) {
  if (!history) return;
  selectedHistory = contact;
  std::optional<int64_t> cursor;
  if (earlier) {
    const auto found = historyCursor.find(contact);
    if (found == historyCursor.end()) return;
    cursor = found->second;
  }
  store::ConversationHistoryPage page;
  try {
    page = history->loadRecords(lowered(contact), cursor, kHistoryPageSize, false);
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  if (!page.skipped.empty()) reportInvalidRecord();
  if (!earlier) {
    std::erase_if(messages, [&](const RuntimeMessage& message) {
      return message.contactID == contact && message.delivery != MessageDelivery::queued &&
             message.delivery != MessageDelivery::sending;
    });
    std::erase_if(historyTransfers,
                  [&](const auto& entry) { return entry.second.contactID == contact; });
    browsingHistory.erase(contact);
  } else {
    browsingHistory.insert(contact);
  }
  absorbHistoryPage(page.records, page.sequences);
  if (page.oldestSequence) historyCursor[contact] = *page.oldestSequence;
  if (page.hasMore) {
    earlierHistory.insert(contact);
  } else {
    earlierHistory.erase(contact);
  }
  publishSnapshot();
}

void VelRuntime::absorbHistoryPage(const std::vector<store::ConversationHistoryRecord>& records,
                                   const store::ConversationSequences& sequences) {
  for (const auto& record : records) {
    const std::string key = record.key();
    if (record.kind == "message") {
      auto message = messageOfRecord(record);
      if (!message) continue;
      savedMessages[key] = *message;
      const bool live = std::ranges::any_of(messages, [&](const RuntimeMessage& held) {
        return held.id == message->id && held.contactID == message->contactID;
      });
      if (!live) messages.push_back(std::move(*message));
    } else {
      auto transfer = transferOfRecord(record);
      if (!transfer) continue;
      historyTransfers[key] = *transfer;
      savedTransfers[key] = *transfer;
      savedTransferState[key] = transfer->state;
    }
    savedHistory[key] = record.payload;
  }
  for (const auto& [key, sequence] : sequences) historyOrder.try_emplace(key, sequence);
}

void VelRuntime::reconcileOutboxMessages() {
  if (!history) return;
  store::ConversationOutboxQuery query;
  query.kind = "message";
  const auto rows = history->pendingOutboxEntries(query);
  for (const auto& row : rows) {
    auto message = messageOfRecord(row.record);
    if (!message) continue;  // never sent: its row stays as it is
    switch (row.state) {
      case store::ConversationOutboxState::attention:
        message->delivery = MessageDelivery::unconfirmed;
        break;
      case store::ConversationOutboxState::sending:
        message->delivery = MessageDelivery::sending;
        break;
      default:
        message->delivery = MessageDelivery::queued;
        break;
    }
    const auto held = std::ranges::find_if(messages, [&](const RuntimeMessage& candidate) {
      return candidate.id == message->id && candidate.contactID == message->contactID;
    });
    historyOrder[messageKey(*message)] = row.sequence;
    if (held != messages.end()) {
      *held = std::move(*message);
    } else {
      messages.push_back(std::move(*message));
    }
  }
}

void VelRuntime::trimHistoryWindow(
    const std::vector<store::ConversationOutboxEntry>& pendingMessages) {
  if (historyUnavailable) return;
  // This runs for every snapshot, over up to 1,200 messages: each key is made and each order
  // looked up once, and the sets of what stays are hashed.
  auto orderOf = [&](const std::string& key) {
    const auto found = historyOrder.find(key);
    return found == historyOrder.end() ? kUnnumbered : found->second;
  };
  auto isSelected = [&](const std::string& contact) {
    return selectedHistory && contact == *selectedHistory;
  };
  const bool browsing = selectedHistory && browsingHistory.contains(*selectedHistory);
  auto window = [](auto& items, size_t limit, bool oldest) {
    if (items.size() <= limit) return;
    if (oldest) {
      items.resize(limit);
    } else {
      items.erase(items.begin(), items.end() - static_cast<std::ptrdiff_t>(limit));
    }
  };

  // Messages: the window of each part, in history order (ties in the order held).
  struct Placed {
    size_t index;
    int64_t order;
  };
  std::vector<std::string> keys;
  keys.reserve(messages.size());
  std::vector<Placed> selected;
  std::vector<Placed> others;
  for (size_t index = 0; index < messages.size(); ++index) {
    keys.push_back(messageKey(messages[index]));
    (isSelected(messages[index].contactID) ? selected : others).push_back(Placed{index, 0});
  }
  // Within its limit a part keeps every message whatever their order: only a part over it is
  // put in history order to see which go.
  auto trimPart = [&](std::vector<Placed>& part, size_t limit, bool oldest) {
    if (part.size() <= limit) return;
    for (auto& placed : part) placed.order = orderOf(keys[placed.index]);
    std::ranges::stable_sort(part,
                             [](const Placed& a, const Placed& b) { return a.order < b.order; });
    window(part, limit, oldest);
  };
  trimPart(selected, kSelectedMessageWindow, browsing);
  trimPart(others, kOtherMessageWindow, false);

  std::unordered_set<std::string> pendingIDs;
  for (const auto& row : pendingMessages) pendingIDs.insert(row.record.id);
  auto isPending = [&](const std::string& id) {
    if (pendingIDs.empty()) return false;
    return std::ranges::none_of(id, [](char c) { return c >= 'A' && c <= 'Z'; })
               ? pendingIDs.contains(id)
               : pendingIDs.contains(lowered(id));
  };
  std::unordered_set<std::string_view> visible;
  for (const auto& placed : selected) visible.insert(keys[placed.index]);
  for (const auto& placed : others) visible.insert(keys[placed.index]);
  for (size_t index = 0; index < messages.size(); ++index) {
    const auto& message = messages[index];
    if (message.delivery == MessageDelivery::queued ||
        message.delivery == MessageDelivery::sending || isPending(message.id)) {
      visible.insert(keys[index]);
    }
  }
  size_t kept = 0;
  for (size_t index = 0; index < messages.size(); ++index) {
    if (!visible.contains(keys[index])) continue;
    if (kept != index) messages[kept] = std::move(messages[index]);
    ++kept;
  }
  messages.resize(kept);

  // History transfers.
  std::vector<std::pair<std::string, const transfer::RuntimeTransfer*>> selectedTransfers;
  std::vector<std::pair<std::string, const transfer::RuntimeTransfer*>> otherTransfers;
  for (const auto& [key, transfer] : historyTransfers) {
    (isSelected(transfer.contactID) ? selectedTransfers : otherTransfers)
        .emplace_back(key, &transfer);
  }
  auto transferOrder = [&](const auto& a, const auto& b) {
    return orderOf(a.first) < orderOf(b.first);
  };
  std::ranges::stable_sort(selectedTransfers, transferOrder);
  std::ranges::stable_sort(otherTransfers, transferOrder);
  window(selectedTransfers, kSelectedTransferWindow, browsing);
  window(otherTransfers, kOtherTransferWindow, false);
  std::set<std::string> keptTransfers;
  for (const auto& [key, transfer] : selectedTransfers) keptTransfers.insert(key);
  for (const auto& [key, transfer] : otherTransfers) keptTransfers.insert(key);
  std::erase_if(historyTransfers,
                [&](const auto& entry) { return !keptTransfers.contains(entry.first); });

  // Caches keep what is retained. `visible` views `keys`, which outlive it.
  std::unordered_set<std::string_view> retained = std::move(visible);
  for (const auto& key : keptTransfers) retained.insert(key);
  std::vector<std::string> liveTransferKeys;
  for (const auto& transfer : transfers().transfers()) {
    liveTransferKeys.push_back(transferKey(transfer));
  }
  for (const auto& key : liveTransferKeys) retained.insert(key);
  auto keep = [&](auto& map) {
    std::erase_if(map, [&](const auto& entry) { return !retained.contains(entry.first); });
  };
  keep(savedHistory);
  keep(savedMessages);
  keep(savedTransfers);
  keep(savedTransferState);
  keep(lastProgressWrite);
  const auto& outboxOrder = attachmentOutbox().order();
  std::erase_if(historyOrder, [&](const auto& entry) {
    return !retained.contains(entry.first) && !outboxOrder.contains(entry.first);
  });
}

void VelRuntime::persistLiveState() {
  if (!history) return;
  try {
    for (const auto& message : messages) saveMessage(message);
    for (const auto& transfer : transfers().transfers()) saveTransferState(transfer, false);
  } catch (...) {
    historyUnavailable = true;
  }
}

}  // namespace velmorine::runtime
