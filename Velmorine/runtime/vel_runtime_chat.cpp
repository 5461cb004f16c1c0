// The chat road: accepting a text, handing queued messages to a session one contact at a time,
// the five-second outbox pump, and what arrives on a control or data session.

#include <algorithm>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/runtime_text.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "native/protocol/ve_outbound_policy.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::runtime {

namespace {

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

bool hasFreshRoute(const network::DiscoveredPeer& peer, double now) {
  return std::ranges::any_of(peer.routes, [now](const network::PeerRoute& route) {
    return now - route.lastSeen < network::kRouteFreshness;
  });
}

constexpr double kReminderInterval = 60.0;

}  // namespace

std::optional<SendRejection> VelRuntime::sendTextOnQueue(
    const std::string& peerID, const std::string& text,
    const std::optional<std::string>& givenContact) {
  if (!store) return SendRejection::unavailable;
  switch (VEOutboundPolicy::validateText(text)) {
    case 0:
      break;
    case 2:
      return SendRejection::tooLarge;
    default:
      return SendRejection::invalidText;
  }
  const std::string contact = givenContact ? *givenContact : contactID(peerID);
  const auto& trustMap = store->document().trust;
  const auto record = trustMap.find(contact);
  if (contact != peerID &&
      (record == trustMap.end() || record->second.claimedID.to_string() != lowered(peerID))) {
    return SendRejection::blocked;
  }
  std::optional<std::vector<uint8_t>> recipientKey;
  if (record != trustMap.end()) recipientKey = record->second.publicKey;
  if (!enabled) return SendRejection::offline;
  if (!recipientKey) {
    const auto peer = directory.peers.find(peerID);
    if (peer == directory.peers.end() || !hasFreshRoute(peer->second, uptime())) {
      return SendRejection::offline;
    }
  }
  if (isBlocked(peerID) || conflicts.contains(peerID)) return SendRejection::blocked;
  if (!history) return SendRejection::busy;
  try {
    store::ConversationOutboxQuery query;
    query.kind = "message";
    query.limit = static_cast<int>(kMaximumPendingChats);
    if (history->pendingOutboxEntries(query).size() >= kMaximumPendingChats) {
      return SendRejection::busy;
    }
  } catch (...) {
    return SendRejection::busy;
  }

  RuntimeMessage message;
  message.id = core::Uuid::random().to_string();
  message.frameID = core::Uuid::random().to_string();
  message.peerID = peerID;
  message.contactID = contact;
  message.text = text;
  message.outgoing = true;
  message.date = now();
  message.delivery = MessageDelivery::queued;
  try {
    if (recipientKey) {
      enqueueMessage(message, *recipientKey);
    } else {
      saveMessage(message);
    }
  } catch (...) {
    historyUnavailable = true;
    publishSnapshot();
    return SendRejection::unavailable;
  }
  messages.push_back(message);
  if (active.contains(peerID)) {
    sendChatFrame(peerID);
  } else {
    startRouteAttempt(peerID);
  }
  publishSnapshot();
  return std::nullopt;
}

void VelRuntime::sendChatFrame(const std::string& peerID) {
  if (!localID) return;
  const auto current = active.find(peerID);
  if (current == active.end()) return;
  const auto found = sessions.find(current->second);
  if (found == sessions.end()) return;
  const auto session = found->second;
  if (deliverQueuedChats(session)) return;

  // By position: a session that fails while it sends reports its close at once, and that may
  // add to the list.
  for (size_t index = 0; index < messages.size(); ++index) {
    RuntimeMessage message = messages[index];
    if (message.peerID != peerID || message.delivery != MessageDelivery::queued) continue;
    if (history && hasPendingOutboxRow(message)) continue;  // the outbox path sends it
    const auto& peer = session->peer();
    MessageDelivery delivery = MessageDelivery::failed;
    if (peer && peer->contactID == message.contactID) {
      const auto frame =
          VEProtocol::chatWithSender(*localID, message.id, message.frameID, message.text);
      std::optional<VEFrame> registered;
      if (frame && ledger) registered = ledger->begin(*frame, peerID);
      if (registered) {
        queue_->assert_current();
        if (session->closed() || !session->peer() || !session->send(*registered)) {
          ledger->cancelMessage(message.id, peerID);
        } else {
          delivery = MessageDelivery::sending;
        }
      }
    }
    const auto held = std::ranges::find_if(messages, [&](const RuntimeMessage& candidate) {
      return candidate.id == message.id && candidate.contactID == message.contactID;
    });
    if (held != messages.end()) held->delivery = delivery;
  }
}

bool VelRuntime::deliverQueuedChats(const std::shared_ptr<network::SecurePeerSession>& session) {
  if (!history || !session->peer() || !localID) return false;
  const auto peer = *session->peer();
  std::optional<ReadableRow> oldest;
  try {
    oldest = oldestReadableRow(peer.contactID);
  } catch (...) {
    historyUnavailable = true;
    return true;
  }
  if (!oldest) return false;
  const auto& row = oldest->row;
  RuntimeMessage message = std::move(oldest->message);
  if (message.peerID != peer.wireID || row.recipientKey != peer.publicKey ||
      isBlocked(message.peerID) || conflicts.contains(message.peerID)) {
    return true;
  }
  switch (row.state) {
    case store::ConversationOutboxState::waiting:
      break;
    case store::ConversationOutboxState::uncertain:
      if (session->supportsDurableAcknowledgments()) break;
      // It may have arrived: only the user may send it again.
      message.delivery = MessageDelivery::unconfirmed;
      try {
        const auto record = historyRecord(message);
        history->transitionOutboxEntry(row, store::ConversationOutboxState::attention, record, 0);
        noteMessageWrite(message, record, row.sequence);
        reconcileOutboxMessages();
      } catch (...) {
        historyUnavailable = true;
      }
      return true;
    default:
      return true;
  }
  if (wallSeconds() < row.retryAfter) return true;
  const auto frame =
      VEProtocol::chatWithSender(*localID, lowered(message.id), message.frameID, message.text);
  std::optional<VEFrame> registered;
  if (frame && ledger) registered = ledger->begin(*frame, message.peerID);
  if (!registered) return true;

  message.delivery = MessageDelivery::sending;
  try {
    const auto record = historyRecord(message);
    history->transitionOutboxEntry(row, store::ConversationOutboxState::sending, record, 0);
    noteMessageWrite(message, record, row.sequence);
  } catch (...) {
    ledger->cancelMessage(lowered(message.id), message.peerID);
    historyUnavailable = true;
    return true;
  }
  const auto held = std::ranges::find_if(messages, [&](const RuntimeMessage& candidate) {
    return candidate.id == message.id && candidate.contactID == message.contactID;
  });
  if (held != messages.end()) {
    *held = message;
  } else {
    messages.push_back(message);
  }
  if (!session->send(*registered)) {
    ledger->cancelMessage(lowered(message.id), message.peerID);
    requeueSending(message.peerID);
  }
  return true;
}

void VelRuntime::pumpOutbox() {
  attachmentOutbox().pump();
  if (!history) return;
  std::vector<ReadableRow> heads;
  try {
    reconcileOutboxMessages();
    // Rows that cannot be read are passed over and reported; the contacts after them still go.
    heads = readableOutboxHeads();
  } catch (...) {
    historyUnavailable = true;
    return;
  }
  for (const auto& [row, message] : heads) {
    std::optional<std::vector<uint8_t>> trustedKey;
    if (store) {
      const auto& trustMap = store->document().trust;
      if (const auto record = trustMap.find(row.record.peer); record != trustMap.end()) {
        trustedKey = record->second.publicKey;
      }
    }
    const std::optional<std::vector<uint8_t>> rowKey =
        row.recipientKey.empty() ? std::nullopt : std::optional(row.recipientKey);
    if (trustedKey != rowKey) continue;
    if (isBlocked(message.peerID) || conflicts.contains(message.peerID) ||
        row.state == store::ConversationOutboxState::attention) {
      continue;
    }
    if (active.contains(message.peerID)) {
      sendChatFrame(message.peerID);
      continue;
    }
    startRouteAttempt(message.peerID);
    const double wall = wallSeconds();
    const auto expiry = reminderExpiry.find(row.record.peer);
    if (expiry == reminderExpiry.end() || expiry->second <= wall) continue;
    const std::string reminderKey = row.record.key();
    if (const auto next = nextOutboxReminder.find(reminderKey);
        next != nextOutboxReminder.end() && wall < next->second) {
      continue;
    }
    nextOutboxReminder[reminderKey] = wall + kReminderInterval;
    remindForMessage(message, row.recipientKey);
  }
}

void VelRuntime::remindForMessage(const RuntimeMessage& message,
                                  const std::vector<uint8_t>& recipientKey) {
  if (!reminders) return;
  // Fire and forget: the next window is the retry.
  reminders->sendReminder(message.peerID, recipientKey, lowered(message.id),
                          std::string(reminders::kReminderKindMessage), [](std::exception_ptr) {});
}

void VelRuntime::handleControlFrame(const VEFrame& frame, const network::AuthenticatedPeer& peer,
                                    const std::shared_ptr<network::SecurePeerSession>& session,
                                    uint64_t forGeneration, const core::Uuid& sessionID) {
  if (generation != forGeneration) return;
  if (const auto found = sessions.find(sessionID);
      found == sessions.end() || found->second != session) {
    return;
  }
  if (session->connection()->channel().purpose() == VEProtocol::kPurposeData) {
    try {
      transfers().handleDataFrame(frame, session);
    } catch (...) {
      diagnose("data.invalid." + frame.kind());
      session->close(closedFailure());
    }
    return;
  }
  const std::string& kind = frame.kind();
  if (kind == "PONG") return;
  if (kind != "CHAT" && kind != "CHAT_ACK") {
    try {
      transfers().handleControlFrame(frame, peer, session);
    } catch (...) {
      diagnose("control.invalid." + kind);
      session->close(closedFailure());
    }
    return;
  }

  std::optional<VEChatHandling> handled;
  if (kind == "CHAT") {
    // Receiving keeps no state of the runtime's ledger: a ledger of its own answers the frame.
    if (localID) {
      if (auto receiver = VEChatLedger::create(*localID)) {
        handled = receiver->handle(frame, peer.wireID);
      }
    }
  } else if (ledger) {
    handled = ledger->handle(frame, peer.wireID);
  }
  if (!handled) {
    session->close(closedFailure());
    return;
  }

  if (handled->incoming) {
    if (!history) {
      historyUnavailable = true;
      publishSnapshot();
      session->close(closedFailure());
      return;
    }
    RuntimeMessage message;
    message.id = handled->incoming->message_id;
    message.peerID = peer.wireID;
    message.contactID = peer.contactID;
    message.text = handled->incoming->text;
    message.outgoing = false;
    message.date = now();
    message.delivery = MessageDelivery::received;
    const auto record = historyRecord(message);
    store::StoredReceipt stored;
    try {
      const int64_t epoch = history->epoch(record.peer);
      stored = history->storeReceipt(record, message.text, epoch, peer.publicKey);
    } catch (const store::ConversationHistoryFailure& failure) {
      if (failure.kind() != store::ConversationHistoryFailure::Kind::conflictingReceipt) {
        historyUnavailable = true;
        publishSnapshot();
      }
      // A different text under an identifier already received is the peer's fault, not a
      // failure of our storage: the session goes, the status stays.
      session->close(closedFailure());
      return;
    } catch (...) {
      historyUnavailable = true;
      publishSnapshot();
      session->close(closedFailure());
      return;
    }
    if (stored.inserted) {
      const std::string key = messageKey(message);
      historyOrder[key] = stored.sequence;
      savedHistory[key] = record.payload;
      savedMessages[key] = message;
      historyPeers.insert(record.peer);
      messages.push_back(message);
      liveIncoming.insert(message.id);
      historyUnavailable = false;
    }
  }
  if (handled->reply) {
    if (!acknowledgeChat || !acknowledgeChat(session, *handled->reply)) {
      session->close(closedFailure());
      publishSnapshot();
      return;
    }
  }
  if (handled->acknowledged) {
    const auto message = std::ranges::find_if(messages, [&](const RuntimeMessage& candidate) {
      return candidate.id == *handled->acknowledged && candidate.peerID == peer.wireID &&
             candidate.contactID == peer.contactID && candidate.outgoing;
    });
    if (message != messages.end()) {
      RuntimeMessage acknowledged = *message;
      acknowledged.delivery = MessageDelivery::acknowledged;
      try {
        const auto entry = outboxEntry(acknowledged);
        if (!entry) {
          saveMessage(acknowledged);
        } else if (entry->recipientKey != peer.publicKey) {
          historyUnavailable = true;
          session->close(closedFailure());
          publishSnapshot();
          return;
        } else {
          const auto record = historyRecord(acknowledged);
          history->transitionOutboxEntry(*entry, store::ConversationOutboxState::delivered, record,
                                         0);
          const std::string key = messageKey(acknowledged);
          savedHistory[key] = record.payload;
          savedMessages[key] = acknowledged;
          historyUnavailable = false;
        }
        *message = acknowledged;
      } catch (...) {
        historyUnavailable = true;
      }
      onQueueWeakly([peerID = peer.wireID](VelRuntime& self) { self.sendChatFrame(peerID); });
    }
  }
  publishSnapshot();
}

}  // namespace velmorine::runtime
