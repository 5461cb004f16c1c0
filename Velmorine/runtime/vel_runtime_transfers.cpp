// The transfer engine and the attachment outbox as the runtime holds them: created on first
// use with the engine's hooks, listed as rows, saved into the history; the user's actions on
// transfers; and the receive journals in the store.

#include <algorithm>
#include <limits>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/history/conversation_history_failure.h"
#include "native/protocol/ascii_case.h"
#include "native/protocol/ve_protocol.h"
#include "platform/bookmarks/bookmarks.h"

namespace velmorine::runtime {

using core::uppered;

namespace {

// Returns the object in `field`, building it with `factory` on first use.
template <typename Holder, typename Factory>
auto& lazyHelper(Holder& field, Factory&& factory) {
  if (!field) field = factory();
  return *field;
}

}  // namespace

void appendReceived(store::StoreDocument& document, store::ReceiveIndexEntry entry) {
  auto& received = document.received;
  while (!received.empty() && received.size() >= store::LocalStore::kMaximumReceivedEntries) {
    received.erase(received.begin());
  }
  received.push_back(std::move(entry));
}

transfer::TransferEngine& VelRuntime::transfers() {
  return lazyHelper(transfers_, [&] { return makeTransferEngine(); });
}

std::shared_ptr<transfer::TransferEngine> VelRuntime::makeTransferEngine() {
  transfer::TransferEngine::Services services;
  services.uptime = environment_.uptime;
  services.wallClock = [wall = environment_.wallClock] {
    return store::Date::fromSystemTime(wall());
  };
  services.random = environment_.random;
  services.receive = environment_.receive;
  auto engine = transfer::TransferEngine::create(*queue_, acknowledgeCommit, std::move(services));
  std::weak_ptr<VelRuntime> weak = weakSelf();
  engine->localID = [weak]() -> std::optional<std::string> {
    auto self = weak.lock();
    return self ? self->localID : std::nullopt;
  };
  engine->control = [weak](const std::string& peerID) {
    auto self = weak.lock();
    return self ? self->controlSessionOf(peerID) : nullptr;
  };
  engine->openData = [weak](const std::string& peerID) {
    auto self = weak.lock();
    if (!self) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    return self->openDataSession(peerID);
  };
  engine->changed = [weak] {
    if (auto self = weak.lock()) self->helperChanged();
  };
  engine->durableOutgoing = [weak](const transfer::RuntimeTransfer& transfer) {
    auto self = weak.lock();
    return self && self->isDurableOutgoing(transfer);
  };
  engine->persistSnapshot = [weak](const transfer::RuntimeTransfer& transfer) {
    auto self = weak.lock();
    if (!self) throw store::ConversationHistoryFailure::staleCallback();
    self->persistTransfer(transfer);
  };
  engine->recordJournal = [weak](const store::ReceiveJournal& journal,
                                 const transfer::ContentUrl& destination) {
    auto self = weak.lock();
    if (!self) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    self->recordReceiveJournal(JournalStep::journal, journal, journal.transferID, destination);
  };
  engine->recordCommit = [weak](const core::Uuid& transferID, const transfer::ContentUrl& folder) {
    auto self = weak.lock();
    if (!self) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    self->recordReceiveJournal(JournalStep::commit, {}, transferID, folder);
  };
  engine->retireJournal = [weak](const store::ReceiveJournal& journal) {
    auto self = weak.lock();
    if (!self) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    self->retireReceiveJournal(journal);
  };
  engine->storageFailed = [weak] {
    if (auto self = weak.lock()) self->status = "storage.unavailable";
  };
  return engine;
}

std::shared_ptr<network::SecurePeerSession> VelRuntime::controlSessionOf(
    const std::string& peerID) const {
  const auto current = active.find(peerID);
  if (current == active.end()) return nullptr;
  const auto session = sessions.find(current->second);
  return session == sessions.end() ? nullptr : session->second;
}

std::shared_ptr<network::SecurePeerSession> VelRuntime::openDataSession(const std::string& peerID) {
  const auto refuse = [] {
    return transfer::ContentFailure(transfer::ContentFailure::Case::access);
  };
  if (!identity) throw refuse();
  const auto current = active.find(peerID);
  if (current == active.end()) throw refuse();
  const auto found = sessions.find(current->second);
  if (found == sessions.end()) throw refuse();
  const auto controlSession = found->second;
  if (controlSession->closed()) throw refuse();
  const auto peer = directory.peers.find(peerID);
  if (peer == directory.peers.end()) throw refuse();
  const auto& controlConnection = controlSession->connection();
  const auto route = network::PeerDirectory::matchInbound(
      controlConnection->endpoint(), outgoingSessions.contains(current->second),
      peer->second.routes, uptime());
  if (!route) throw refuse();
  auto connection =
      network::SecureConnection::dial(route->host, route->port, identity, VEProtocol::kPurposeData,
                                      *queue_, networkBudget, controlConnection.get());
  auto session = attachSession(std::move(connection), peerID, generation);
  if (!session) throw refuse();
  return session;
}

bool VelRuntime::isDurableOutgoing(const transfer::RuntimeTransfer& transfer) {
  return transfer.outgoing && attachmentOutbox().knows(transfer.id);
}

void VelRuntime::persistTransfer(const transfer::RuntimeTransfer& transfer) {
  if (clearingHistory) throw store::ConversationHistoryFailure::staleCallback();
  try {
    saveTransferState(transfer, true);
  } catch (...) {
    historyUnavailable = true;
    throw;
  }
}

void VelRuntime::recordReceiveJournal(JournalStep step, const store::ReceiveJournal& journal,
                                      const core::Uuid& transferID,
                                      const transfer::ContentUrl& url) {
  if (!store || !url.isFile())
    throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
  const auto bookmark = platform::create_bookmark(url.path(), false);
  const std::string key = uppered(transferID.to_string());
  const store::Date committedAt = now();
  store->update([&](store::StoreDocument& document) {
    if (step == JournalStep::journal) {
      if (!document.pendingReceives) document.pendingReceives.emplace();
      (*document.pendingReceives)[key] = store::PendingReceive{journal, bookmark};
      document.preferences.destinationBookmark = bookmark;
      return;
    }
    appendReceived(document, {transferID, bookmark, committedAt});
    if (document.pendingReceives) document.pendingReceives->erase(key);
  });
}

void VelRuntime::retireReceiveJournal(const store::ReceiveJournal& journal) {
  if (!store) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
  const std::string key = uppered(journal.transferID.to_string());
  const auto& pending = store->document().pendingReceives;
  if (!pending) return;
  const auto found = pending->find(key);
  // Another attempt of the same transfer keeps its own journal.
  if (found == pending->end() || found->second.journal != journal) return;
  store->update([&](store::StoreDocument& document) {
    if (document.pendingReceives) document.pendingReceives->erase(key);
  });
}

void VelRuntime::helperChanged() {
  if (publishScheduled) return;
  publishScheduled = true;
  onQueueWeakly([](VelRuntime& self) {
    self.publishScheduled = false;
    self.publishSnapshot();
  });
}

void VelRuntime::acceptTransfer(std::string transferID, std::filesystem::path destination) {
  onQueue(
      [transferID = std::move(transferID), destination = std::move(destination)](VelRuntime& self) {
        if (!destination.is_absolute()) return;
        self.transfers().accept(transferID, transfer::ContentUrl::file(destination, true));
      });
}

void VelRuntime::declineTransfer(std::string transferID) {
  onQueue([transferID = std::move(transferID)](VelRuntime& self) {
    self.transfers().decline(transferID);
  });
}

void VelRuntime::cancelTransfer(std::string transferID) {
  onQueue([transferID = std::move(transferID)](VelRuntime& self) {
    self.cancelTransferOnQueue(transferID);
  });
}

void VelRuntime::cancelTransferOnQueue(const std::string& transferID) {
  try {
    attachmentOutbox().cancel(transferID);
  } catch (...) {
    // The row stays as it was, so the engine is not told either.
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  transfers().cancel(transferID);
  publishSnapshot();
}

void VelRuntime::retryTransfer(std::string transferID) {
  onQueue([transferID = std::move(transferID)](VelRuntime& self) {
    self.retryTransferOnQueue(transferID);
  });
}

void VelRuntime::retryTransferOnQueue(const std::string& transferID) {
  try {
    attachmentOutbox().retry(transferID);
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
  }
}

void VelRuntime::recoverReceives(std::filesystem::path destination) {
  onQueue([destination = std::move(destination)](VelRuntime& self) {
    self.recoverReceivesOnQueue(destination);
  });
}

void VelRuntime::recoverReceivesOnQueue(const std::filesystem::path& destination) {
  if (!store || recoveryPending.empty() || !destination.is_absolute()) return;
  std::map<std::string, store::PendingReceive> waiting;
  if (const auto& pending = store->document().pendingReceives) {
    for (const auto& [key, value] : *pending) {
      if (recoveryPending.contains(key)) waiting.emplace(key, value);
    }
  }
  std::weak_ptr<VelRuntime> weak = weakSelf();
  std::shared_ptr<store::LocalStore> startedStore = store;
  transfers().recoverReceives(
      waiting, transfer::ContentUrl::file(destination, true),
      [weak, startedStore, waiting](transfer::RecoveredReceives result, bool) {
        auto self = weak.lock();
        if (!self || self->store != startedStore) return;
        const store::Date committedAt = self->now();
        try {
          self->store->update([&](store::StoreDocument& document) {
            for (const auto& [key, bookmark] : result) {
              if (bookmark) {
                const auto id = core::Uuid::parse(key);
                bool indexed = false;
                if (id) {
                  for (const auto& entry : document.received) indexed |= entry.transferID == *id;
                  if (!indexed) appendReceived(document, {*id, *bookmark, committedAt});
                }
              }
              // Only the journal the engine worked on: a newer attempt keeps its own.
              if (!document.pendingReceives) continue;
              const auto stored = document.pendingReceives->find(key);
              const auto worked = waiting.find(key);
              if (stored != document.pendingReceives->end() && worked != waiting.end() &&
                  stored->second.journal == worked->second.journal) {
                document.pendingReceives->erase(stored);
              }
            }
          });
        } catch (...) {
          self->status = "storage.unavailable";
          self->publishSnapshot();
          return;
        }
        for (const auto& [key, bookmark] : result) self->recoveryPending.erase(key);
        self->publishSnapshot();
      });
}

void VelRuntime::sendFiles(std::shared_ptr<transfer::PreparedBatch> batch, std::string peerID,
                           FilesSent completion,
                           std::shared_ptr<transfer::ContentCancellation> cancellation) {
  onQueue([batch = std::move(batch), peerID = std::move(peerID), completion = std::move(completion),
           cancellation = std::move(cancellation)](VelRuntime& self) {
    self.attachmentOutbox().enqueue(batch, peerID, self.contactID(peerID), cancellation,
                                    completion);
  });
}

void VelRuntime::offerBatch(std::shared_ptr<transfer::PreparedBatch> batch, std::string peerID,
                            Offered completion) {
  onQueue([batch = std::move(batch), peerID = std::move(peerID),
           completion = std::move(completion)](VelRuntime& self) {
    std::expected<std::string, transfer::ContentFailure::Case> result;
    try {
      result = self.transfers().offer(batch, peerID);
    } catch (...) {
      result = std::unexpected(transfer::contentFailureOf(std::current_exception()));
    }
    if (completion) {
      self.onMain([completion, result] { completion(result); });
    }
  });
}

transfer::DurableAttachmentOutbox& VelRuntime::attachmentOutbox() {
  return lazyHelper(attachmentOutbox_, [&] { return makeAttachmentOutbox(); });
}

std::shared_ptr<transfer::DurableAttachmentOutbox> VelRuntime::makeAttachmentOutbox() {
  transfer::DurableAttachmentOutbox::Services services;
  services.mainQueue = environment_.mainQueue;
  services.wallClock = [wall = environment_.wallClock] {
    return std::chrono::duration<double>(wall().time_since_epoch()).count();
  };
  services.now = [wall = environment_.wallClock] { return store::Date::fromSystemTime(wall()); };
  services.checkpoint = environment_.receive.checkpoint;
  services.staging.checkpoint = environment_.receive.checkpoint;
  std::weak_ptr<VelRuntime> weak = weakSelf();
  services.diagnostic = [weak](const std::string& code) {
    if (auto self = weak.lock()) self->diagnose(code);
  };
  auto outbox = transfer::DurableAttachmentOutbox::create(
      *queue_, transfer::ContentUrl::file(directoryURL / "attachment-outbox", true),
      std::move(services));
  outbox->history = [weak]() -> std::shared_ptr<store::ConversationHistory> {
    auto self = weak.lock();
    return self ? self->history : nullptr;
  };
  outbox->recipientKey = [weak](const std::string&, const std::string& contactID) {
    auto self = weak.lock();
    return self ? self->recipientKey(contactID) : std::nullopt;
  };
  outbox->allowed = [weak](const std::string& peerID, const std::string&) {
    auto self = weak.lock();
    return self && self->attachmentAllowed(peerID);
  };
  outbox->online = [weak](const std::string& peerID, const std::vector<uint8_t>& key) {
    auto self = weak.lock();
    return self && self->peerOnline(peerID, key);
  };
  outbox->offer = [weak](std::shared_ptr<transfer::PreparedBatch> batch,
                         const std::string& peerID) {
    auto self = weak.lock();
    // Without the runtime the batch must stay in the outbox.
    if (!self) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    self->transfers().offer(std::move(batch), peerID);
  };
  outbox->connect = [weak](const std::string& peerID) {
    if (auto self = weak.lock()) self->startRouteAttempt(peerID);
  };
  outbox->remind = [weak](const std::string& peerID, const std::vector<uint8_t>& key,
                          const std::string& transferID) {
    if (auto self = weak.lock()) self->remindForFiles(peerID, key, transferID);
  };
  outbox->changed = [weak] {
    if (auto self = weak.lock()) self->helperChanged();
  };
  return outbox;
}

std::optional<std::vector<uint8_t>> VelRuntime::recipientKey(const std::string& contactID) const {
  if (!store) return std::nullopt;
  const auto& trust = store->document().trust;
  const auto found = trust.find(contactID);
  if (found == trust.end()) return std::nullopt;
  return found->second.publicKey;
}

bool VelRuntime::attachmentAllowed(const std::string& peerID) const {
  return enabled && !shuttingDown && !suspended && !isBlocked(peerID) &&
         !conflicts.contains(peerID);
}

bool VelRuntime::peerOnline(const std::string& peerID, const std::vector<uint8_t>& key) const {
  const auto session = controlSessionOf(peerID);
  if (!session || session->closed()) return false;
  const auto& peer = session->peer();
  return peer && peer->publicKey == key;
}

void VelRuntime::remindForFiles(const std::string& peerID, const std::vector<uint8_t>& key,
                                const std::string& transferID) {
  if (!reminders) return;
  // Fire and forget: the outbox decides when to remind again.
  reminders->sendReminder(peerID, key, transferID, std::string(reminders::kReminderKindFile),
                          [](std::exception_ptr) {});
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
  if (attachmentOutbox().record(transfer)) {
    // The outbox wrote (or throttled) its own row; the caches follow its copy.
    const auto copy = attachmentOutbox().transfer(transfer.id);
    if (!copy) return;
    const std::string key = transferKey(*copy);
    savedTransfers[key] = *copy;
    historyTransfers[key] = *copy;
    savedTransferState[key] = copy->state;
    if (const auto order = attachmentOutbox().order().find(key);
        order != attachmentOutbox().order().end()) {
      historyOrder[key] = order->second;
    }
    historyPeers.insert(lowered(copy->contactID));
    historyUnavailable = false;
    return;
  }
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
