// The user's decisions about one message or one peer: resend and cancel a message, clear a
// conversation, block, settle a changed key, verify, and the reminder grants of connected
// peers.

#include <algorithm>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/history_transaction.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"

namespace velmorine::runtime {

namespace {

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

}  // namespace

void VelRuntime::resendMessage(std::string contact, std::string messageID) {
  onQueue([contact = std::move(contact), messageID = std::move(messageID)](VelRuntime& self) {
    self.resendMessageOnQueue(contact, messageID);
  });
}

void VelRuntime::cancelMessage(std::string contact, std::string messageID) {
  onQueue([contact = std::move(contact), messageID = std::move(messageID)](VelRuntime& self) {
    self.cancelMessageOnQueue(contact, messageID);
  });
}

void VelRuntime::configureReminders() {
  onQueueWeakly([](VelRuntime& self) { self.configureRemindersOnQueue(); });
}

void VelRuntime::cancelReminder(std::string peerID) {
  onQueue([peerID = std::move(peerID)](VelRuntime& self) {
    self.reminderOutbox.reject(peerID, std::nullopt);
    self.publishSnapshot();
  });
}

void VelRuntime::clearConversation(std::optional<std::string> contact, std::string peerID,
                                   Completion completion) {
  onQueue([contact = std::move(contact), peerID = std::move(peerID),
           completion = std::move(completion)](VelRuntime& self) {
    const bool done = self.clearConversationOnQueue(contact, peerID);
    if (completion) self.onMain([completion, done] { completion(done); });
  });
}

void VelRuntime::setPeerBlocked(std::string peerID, bool blocked) {
  onQueue([peerID = std::move(peerID), blocked](VelRuntime& self) {
    self.setPeerBlockedOnQueue(peerID, blocked);
  });
}

void VelRuntime::resolveChangedKey(std::string peerID, bool keepSeparate) {
  onQueue([peerID = std::move(peerID), keepSeparate](VelRuntime& self) {
    self.resolveChangedKeyOnQueue(peerID, keepSeparate);
  });
}

void VelRuntime::verifyPeer(std::string peerID) {
  onQueue([peerID = std::move(peerID)](VelRuntime& self) { self.verifyPeerOnQueue(peerID); });
}

std::optional<store::ConversationOutboxEntry> VelRuntime::firstPendingEntry(
    const std::string& contact, const std::string& messageID) {
  store::ConversationOutboxQuery query;
  query.kind = "message";
  query.peer = lowered(contact);
  query.id = lowered(messageID);
  const auto rows = history->pendingOutboxEntries(query);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

void VelRuntime::resendMessageOnQueue(const std::string& contact, const std::string& messageID) {
  if (!history) return;
  std::optional<store::ConversationOutboxEntry> entry;
  try {
    entry = firstPendingEntry(contact, messageID);
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  if (!entry || entry->state != store::ConversationOutboxState::attention) return;
  auto message = messageOfRecord(entry->record);
  if (!message) return;
  message->delivery = MessageDelivery::queued;
  try {
    const auto record = historyRecord(*message);
    history->transitionOutboxEntry(*entry, store::ConversationOutboxState::waiting, record, 0);
    noteMessageWrite(*message, record, entry->sequence);
    reconcileOutboxMessages();
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  sendChatFrame(message->peerID);
  publishSnapshot();
}

void VelRuntime::cancelMessageOnQueue(const std::string& contact, const std::string& messageID) {
  if (!history) return;
  std::optional<store::ConversationOutboxEntry> entry;
  try {
    entry = firstPendingEntry(contact, messageID);
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  if (!entry) return;
  auto message = messageOfRecord(entry->record);
  if (!message) return;
  message->delivery = MessageDelivery::cancelled;
  try {
    const auto record = historyRecord(*message);
    history->transitionOutboxEntry(*entry, store::ConversationOutboxState::cancelled, record, 0);
    noteMessageWrite(*message, record, entry->sequence);
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return;
  }
  if (ledger) ledger->cancelMessage(lowered(message->id), message->peerID);
  const auto held = std::ranges::find_if(messages, [&](const RuntimeMessage& candidate) {
    return candidate.id == message->id && candidate.contactID == message->contactID;
  });
  if (held != messages.end()) *held = *message;
  sendChatFrame(message->peerID);
  publishSnapshot();
}

void VelRuntime::configureRemindersOnQueue() {
  if (!identity || !reminders) return;
  const auto localKey = identity->publicKey();
  const uint64_t forGeneration = generation;
  std::weak_ptr<VelRuntime> weak = weakSelf();
  for (const auto& [id, session] : sessions) {
    if (!session->reminderNegotiated() || session->closed() || !session->peer()) continue;
    const auto peer = *session->peer();
    auto client = reminders;
    client->configure(localKey, [weak, client, peer, forGeneration](std::exception_ptr failed) {
      if (failed || weak.expired()) return;
      // Grants are filed by the device that gave them.
      client->receivedGrant(peer.wireID, peer.publicKey,
                            [weak, peer, forGeneration](std::optional<network::ReminderGrant> grant,
                                                        std::exception_ptr error) {
                              auto self = weak.lock();
                              if (!self) return;
                              if (error) grant.reset();
                              self->onQueueWeakly([peer, forGeneration, grant](VelRuntime& live) {
                                live.recordReceivedGrant(peer.contactID, peer.publicKey, grant,
                                                         forGeneration);
                              });
                            });
    });
  }
}

void VelRuntime::recordReceivedGrant(const std::string& contact, const std::vector<uint8_t>& key,
                                     const std::optional<network::ReminderGrant>& grant,
                                     uint64_t forGeneration) {
  if (generation != forGeneration || !store) return;
  const auto& trustMap = store->document().trust;
  const auto record = trustMap.find(contact);
  if (record == trustMap.end() || record->second.blocked || record->second.publicKey != key) {
    return;
  }
  if (grant) {
    reminderExpiry[contact] = grant->expires;
  } else {
    reminderExpiry.erase(contact);
  }
  publishSnapshot();
}

bool VelRuntime::clearConversationOnQueue(const std::optional<std::string>& givenContact,
                                          const std::string& peerID) {
  const std::string contact = givenContact ? *givenContact : contactID(peerID);
  if (!history) {
    historyUnavailable = true;
    publishSnapshot();
    return false;
  }
  try {
    inImmediateTransaction(*history, [&] { history->clearConversation(lowered(contact)); });
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return false;
  }
  attachmentOutbox().forget(lowered(contact));
  reminderOutbox.reject(peerID, std::nullopt);
  clearingHistory = true;
  std::erase_if(messages,
                [&](const RuntimeMessage& message) { return message.contactID == contact; });
  std::erase_if(historyTransfers,
                [&](const auto& entry) { return entry.second.contactID == contact; });
  historyPeers.erase(lowered(contact));
  historyPeers.erase(contact);
  earlierHistory.erase(contact);
  browsingHistory.erase(contact);
  historyCursor.erase(contact);
  const std::string marker = ":" + lowered(contact) + ":";
  auto dropContact = [&](auto& map) {
    std::erase_if(map,
                  [&](const auto& entry) { return entry.first.find(marker) != std::string::npos; });
  };
  dropContact(savedHistory);
  dropContact(savedMessages);
  dropContact(savedTransfers);
  dropContact(historyOrder);
  // The reminder windows of its messages go with them.
  dropContact(nextOutboxReminder);
  if (contactID(peerID) == contact) {
    const auto open = sessions;
    for (const auto& [id, session] : open) {
      if (session->peer() && session->peer()->wireID == peerID) {
        session->close(closedFailure());
        sessions.erase(id);
      }
    }
    active.erase(peerID);
    resetPeer(peerID);
    const auto remaining = sessions;
    for (const auto& [id, session] : remaining) {
      if (!session->peer()) session->close(closedFailure());
    }
  }
  transfers().cancelPeer(peerID, true, contact);
  clearingHistory = false;
  publishSnapshot();
  return true;
}

void VelRuntime::setPeerBlockedOnQueue(const std::string& peerID, bool blocked) {
  std::string contact = peerID;
  if (!store || !store->document().trust.contains(peerID)) contact = contactID(peerID);
  if (trust && store) {
    try {
      const auto& trustMap = store->document().trust;
      const auto record = trustMap.find(contact);
      // Every write appends to a bounded audit: write only what changes. A contact without a
      // record is not blocked.
      const bool current = record != trustMap.end() && record->second.blocked;
      if (current != blocked) trust->setBlocked(blocked, contact);
    } catch (...) {
      status = "storage.unavailable";
      publishSnapshot();
      return;
    }
  }
  if (blocked) {
    if (reminders) reminders->revokeGrants(contact, [](std::exception_ptr) {});
    if (store) {
      const auto& trustMap = store->document().trust;
      if (const auto record = trustMap.find(contact); record != trustMap.end()) {
        const std::string device = record->second.claimedID.to_string();
        if (device == contact || contactID(device) == contact) {
          reminderOutbox.reject(device, std::nullopt);
          resetPeer(device);
        }
      }
    }
  }
  publishSnapshot();
}

void VelRuntime::resolveChangedKeyOnQueue(const std::string& peerID, bool keepSeparate) {
  const auto conflict = conflicts.find(peerID);
  if (conflict == conflicts.end()) return;
  if (trust) {
    try {
      trust->resolveChangedKey(peerID, conflict->second, keepSeparate);
    } catch (...) {
      status = "storage.unavailable";
      publishSnapshot();
      return;
    }
  }
  conflicts.erase(peerID);
  publishSnapshot();
}

void VelRuntime::verifyPeerOnQueue(const std::string& peerID) {
  if (const auto current = active.find(peerID); current != active.end() && trust) {
    const auto session = sessions.find(current->second);
    if (session != sessions.end() && session->second->peer()) {
      const auto& peer = *session->second->peer();
      try {
        trust->markVerified(peer.contactID, peer.publicKey);
      } catch (...) {
        status = "storage.unavailable";
      }
    }
  }
  publishSnapshot();
}

}  // namespace velmorine::runtime
