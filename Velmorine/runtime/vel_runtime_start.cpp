// Opening the store and the history, starting and stopping networking, accepting connections,
// sleep and wake, and the orderly shutdown.

#include <cstdio>
#include <system_error>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/history_transaction.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/store/local_store_error.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

namespace {

constexpr const char* kHistoryFile = "conversation-history-v2.sqlite";
constexpr const char* kImportMarker = "mac-process-history-v1";

std::string hexText(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  char digits[3];
  for (const uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

}  // namespace

void VelRuntime::openStore() {
  if (shuttingDown || store) return;
  try {
    auto opened = std::make_shared<store::LocalStore>(directoryURL);
    const auto computer = environment_.computerName();
    opened->update([&](store::StoreDocument& document) {
      store::DeviceNamePreferences::effectiveName(computer, document.preferences);
    });
    store = opened;
    trust = std::make_unique<network::TrustService>(store);
  } catch (const store::LocalStoreError& error) {
    status = error.errorCase() == store::LocalStoreError::Case::alreadyRunning
                 ? "storage.alreadyRunning"
                 : "storage.unavailable";
    publishSnapshot();
    return;
  } catch (...) {
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  try {
    openHistory();
  } catch (...) {
    history.reset();
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  // A start that failed before (another instance held the folder) leaves its key behind; this
  // one opened, and networking has not run yet.
  status = "network.paused";
  auto pending =
      store->document().pendingReceives.value_or(std::map<std::string, store::PendingReceive>{});
  std::weak_ptr<VelRuntime> weak = weakSelf();
  std::shared_ptr<store::LocalStore> startedStore = store;
  transfers().recoverReceives(
      pending, std::nullopt,
      [weak, startedStore](transfer::RecoveredReceives result, bool decisionNeeded) {
        if (auto self = weak.lock()) self->finishStart(result, decisionNeeded, startedStore.get());
      });
}

void VelRuntime::openHistory() {
  history = std::make_shared<store::ConversationHistory>(directoryURL / kHistoryFile);
  dismissedTransfers = history->hiddenTransferNames();
  inImmediateTransaction(*history, [&] { history->importRecords(kImportMarker, {}); });
  inImmediateTransaction(*history, [&] {
    // The second term lets the index of pending rows drive the update, so that the delivered
    // rows (kept for good) are not walked at every start.
    history->execute("UPDATE message_outbox SET state=2,retry_after=0 WHERE state=1 AND state<4");
  });
  settleUnsettledRecords();
  const auto peers = history->peers();
  historyPeers = std::set<std::string>(peers.begin(), peers.end());
  const auto page = history->loadRecords(std::nullopt, std::nullopt, kStartHistoryRecords, false);
  if (!page.skipped.empty()) reportInvalidRecord();
  absorbHistoryPage(page.records, page.sequences);
  reconcileOutboxMessages();
  // The outbox reads its rows back here only; afterwards its memory follows every move.
  attachmentOutbox().restore();
  attachmentOutbox().sweep();
}

void VelRuntime::settleUnsettledRecords() {
  std::optional<int64_t> before;
  while (true) {
    const auto page = history->loadRecords(std::nullopt, before, kHistoryPageSize, true);
    if (!page.skipped.empty()) reportInvalidRecord();
    std::vector<store::ConversationHistoryRecord> changed;
    for (const auto& record : page.records) {
      store::ConversationOutboxQuery query;
      query.kind = record.kind;
      query.peer = record.peer;
      query.id = record.id;
      if (!history->pendingOutboxEntries(query).empty()) continue;  // the outbox retries it
      if (record.kind == "message") {
        auto message = messageOfRecord(record);
        if (!message) continue;  // left as it is: one bad record must not stop every start
        message->delivery = message->delivery == MessageDelivery::sending
                                ? MessageDelivery::unconfirmed
                                : MessageDelivery::failed;
        changed.push_back(historyRecord(*message));
      } else {
        auto transfer = transferOfRecord(record);
        if (!transfer) continue;
        transfer->state = transfer::TransferState::failed;
        transfer->error = "transfer.error.disconnected";
        store::ConversationHistoryRecord settled;
        settled.kind = "transfer";
        settled.peer = record.peer;
        settled.id = record.id;
        settled.payload = transfer::encodeRuntimeTransferPayload(*transfer);
        changed.push_back(std::move(settled));
      }
    }
    if (!changed.empty()) {
      inImmediateTransaction(*history, [&] { history->saveRecords(changed, {}); });
    }
    if (!page.hasMore || !page.oldestSequence) break;
    before = page.oldestSequence;
  }
}

void VelRuntime::finishStart(const transfer::RecoveredReceives& result, bool decisionNeeded,
                             const store::LocalStore* startedStore) {
  if (shuttingDown || !store || store.get() != startedStore) return;
  if (!result.empty()) {
    try {
      applyRecoveredReceives(result);
    } catch (...) {
      status = "storage.unavailable";
      publishSnapshot();
      return;
    }
  }
  recoveryPending.clear();
  if (const auto& pending = store->document().pendingReceives) {
    for (const auto& [key, value] : *pending) recoveryPending.insert(key);
  }
  if (decisionNeeded) status = "storage.recoveryNeeded";
  if (store->document().preferences.networkEnabled) {
    startNetwork();
  } else {
    publishSnapshot();
  }
}

void VelRuntime::applyRecoveredReceives(const transfer::RecoveredReceives& result) {
  const store::Date committedAt = now();
  store->update([&](store::StoreDocument& document) {
    for (const auto& [key, bookmark] : result) {
      if (bookmark) {
        const auto id = core::Uuid::parse(key);
        if (id) {
          bool indexed = false;
          for (const auto& entry : document.received) indexed |= entry.transferID == *id;
          if (!indexed) appendReceived(document, {*id, *bookmark, committedAt});
        }
      }
      if (document.pendingReceives) document.pendingReceives->erase(key);
    }
  });
}

void VelRuntime::restoreReminderGrants() {
  if (!store || !identity || !reminders) return;
  const uint64_t forGeneration = generation;
  const auto localKey = identity->publicKey();
  std::weak_ptr<VelRuntime> weak = weakSelf();
  // The client answers on its own thread, maybe after the runtime and its queue are gone.
  const auto home = queue_->handle();
  for (const auto& [contact, record] : store->document().trust) {
    if (record.blocked) continue;
    const std::string claimed = record.claimedID.to_string();
    const auto key = record.publicKey;
    auto client = reminders;
    client->configure(localKey, [weak, home, client, contact, claimed, key,
                                 forGeneration](std::exception_ptr configured) {
      if (configured) return;
      client->receivedGrant(
          claimed, key,
          [weak, home, contact, key, forGeneration](std::optional<network::ReminderGrant> grant,
                                                    std::exception_ptr error) {
            home.async([weak, contact, key, forGeneration, grant, error] {
              auto self = weak.lock();
              if (!self || self->generation != forGeneration || !self->store) return;
              const auto& trustMap = self->store->document().trust;
              const auto found = trustMap.find(contact);
              if (found == trustMap.end() || found->second.blocked ||
                  found->second.publicKey != key) {
                return;
              }
              // Every trusted contact is asked at each start of networking: only an answer that
              // changes what the snapshot shows publishes one.
              bool changed = false;
              if (grant && !error) {
                const auto [entry, added] =
                    self->reminderExpiry.try_emplace(contact, grant->expires);
                changed = added || entry->second != grant->expires;
                entry->second = grant->expires;
              } else {
                changed = self->reminderExpiry.erase(contact) > 0;
              }
              if (changed) self->publishSnapshot();
            });
          });
    });
  }
}

void VelRuntime::startNetwork() {
  if (shuttingDown) return;
  if (suspended) {
    publishSnapshot();
    return;
  }
  stopNetwork(false);
  if (!store || !history) {
    status = "storage.unavailable";
    publishSnapshot();
    return;
  }
  std::array<uint8_t, 32> nonceBytes{};
  try {
    const auto device = store->loadOrCreateIdentity(*keychain);
    if (!device.identity) throw store::LocalStoreError::identityMissing();
    localID = device.id.to_string();
    identity = device.identity;
    if (!environment_.random(nonceBytes)) throw store::LocalStoreError::corrupt();
  } catch (...) {
    identity.reset();
    enabled = false;
    status = "identity.unavailable";
    publishSnapshot();
    return;
  }
  restoreReminderGrants();
  if (!ledger) {
    // Acknowledgement deadlines run on the runtime's uptime, like every other deadline.
    ledger = VEChatLedger::create(
        *localID, VEChatLedger::kDefaultTimeoutMilliseconds, [clock = environment_.uptime] {
          return std::chrono::steady_clock::time_point(
              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(clock->now())));
        });
  }
  nonce = hexText(nonceBytes);
  enabled = true;
  status = "network.starting";
  const uint64_t forGeneration = generation;

  std::error_code error;
  listener = platform::TcpListener::open(*queue_, 0, error);
  if (!listener || error) {
    stopNetwork(false);
    status = "network.failed";
    publishSnapshot();
    return;
  }
  std::weak_ptr<VelRuntime> weak = weakSelf();
  listener->start([weak, forGeneration](std::shared_ptr<platform::TcpConnection> connection) {
    if (auto self = weak.lock()) {
      self->acceptConnection(std::move(connection), forGeneration);
    } else if (connection) {
      connection->cancel();
    }
  });
  // The listener is listening once opened: its ready state follows on the queue.
  queue_->async([weak, forGeneration] {
    auto self = weak.lock();
    if (!self || !self->enabled || self->generation != forGeneration) return;
    self->startDiscovery(forGeneration);
    self->status = "network.searching";
    self->publishSnapshot();
  });

  timer = std::make_unique<platform::Timer>(*queue_, [weak] {
    if (auto self = weak.lock()) self->timerTick();
  });
  timer->schedule(1.0, 1.0, 0);
  publishSnapshot();
}

void VelRuntime::stopNetwork(bool publish) {
  reminderOutbox.rejectAll();
  reminderExpiry.clear();
  ++generation;
  enabled = false;
  transfers().stopAll();
  if (listener) {
    listener->cancel();
    listener.reset();
  }
  if (discovery) {
    discovery->stop();
    discovery.reset();
  }
  if (timer) {
    timer->cancel();
    timer.reset();
  }
  connecting.clear();
  // A session reports its close (and edits `sessions`) before `close` returns.
  const auto open = sessions;
  for (const auto& [id, session] : open) {
    session->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
  }
  sessions.clear();
  sessionOrder.clear();
  active.clear();
  connecting.clear();
  outgoingSessions.clear();
  supersededSessions.clear();
  directory.clearRoutes();
  settlePeerMessages(std::nullopt);
  identity.reset();
  nonce.clear();
  issues.clear();
  status = "network.paused";
  if (publish) publishSnapshot();
}

void VelRuntime::startDiscovery(uint64_t forGeneration) {
  if (discovery || !makeDiscovery) return;
  discovery = makeDiscovery(*queue_);
  if (!discovery) return;
  std::weak_ptr<VelRuntime> weak = weakSelf();
  discovery->makeAnnouncement = [weak, forGeneration]() -> std::optional<std::vector<uint8_t>> {
    auto self = weak.lock();
    if (!self || self->generation != forGeneration) return std::nullopt;
    return self->makeAnnouncement();
  };
  discovery->onDatagram = [weak, forGeneration](std::vector<uint8_t> datagram, std::string host,
                                                std::string interface) {
    auto self = weak.lock();
    if (!self || !self->enabled || self->generation != forGeneration) return;
    self->handleDiscovery(datagram, host, interface);
  };
  discovery->onInterfacesChanged =
      [weak, forGeneration](const std::vector<network::DiscoveryInterface>& interfaces) {
        auto self = weak.lock();
        if (!self || !self->enabled || self->generation != forGeneration) return;
        self->interfacesChanged(interfaces);
      };
  discovery->onStatus = [weak, forGeneration](const std::vector<network::DiscoveryIssue>& found,
                                              size_t interfaceCount, size_t channels) {
    auto self = weak.lock();
    if (!self || !self->enabled || self->generation != forGeneration) return;
    self->discoveryStatus(found, interfaceCount, channels);
  };
  discovery->start();
}

void VelRuntime::acceptConnection(std::shared_ptr<platform::TcpConnection> connection,
                                  uint64_t forGeneration) {
  if (!connection) return;
  if (!enabled || generation != forGeneration || !identity) {
    connection->cancel();
    return;
  }
  if (!makeRoomForIncoming(connection->remote_endpoint())) {
    connection->cancel();
    return;
  }
  auto secure = network::SecureConnection::accepted(connection, identity, *queue_, networkBudget);
  if (!secure) return;  // the channel could not be made; the connection is cancelled
  attachSession(std::move(secure), std::nullopt, forGeneration);
}

void VelRuntime::suspendOnQueue() {
  if (shuttingDown || suspended) return;
  suspended = true;
  stopNetwork(true);
}

void VelRuntime::resumeOnQueue() {
  if (shuttingDown || !suspended) return;
  suspended = false;
  if (store && store->document().preferences.networkEnabled) startNetwork();
}

void VelRuntime::shutdownOnQueue(std::function<void()> completion) {
  if (shutdownFinished) {
    if (completion) onMain(std::move(completion));
    return;
  }
  if (completion) shutdownCompletions.push_back(std::move(completion));
  if (shuttingDown) return;  // the shutdown under way runs this completion
  shuttingDown = true;
  stopNetwork(false);
  std::weak_ptr<VelRuntime> weak = weakSelf();
  transfers().flush([weak] {
    if (auto self = weak.lock()) self->finishShutdown();
  });
}

void VelRuntime::finishShutdown() {
  if (shutdownFinished) return;
  persistLiveState();
  history.reset();
  ledger.reset();
  trust.reset();
  store.reset();
  trustIndex_.clear();
  shutdownFinished = true;
  auto completions = std::move(shutdownCompletions);
  shutdownCompletions.clear();
  if (!completions.empty()) {
    onMain([completions = std::move(completions)] {
      for (const auto& completion : completions) completion();
    });
  }
}

}  // namespace velmorine::runtime
