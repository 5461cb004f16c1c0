// The receiver's control side: the transfer frames of a control session (an offer and its
// manifest, the sender's answer, cancellations), and the user's accept and decline.

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/transfer/data_session_size.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

[[noreturn]] void refuse() { throw ContentFailure(Case::invalidManifest); }

}  // namespace

void TransferEngine::handleControlFrame(const VEFrame& frame,
                                        const network::AuthenticatedPeer& peer,
                                        const Session& session) {
  if (!session || !session->peer()) refuse();
  const auto& transcript = session->connection()->channel().transcriptHash();
  const auto local = localID ? localID() : std::nullopt;
  if (transcript.empty() || !local) refuse();
  const std::string sessionID = hexText(transcript);
  const auto fields = VEProtocol::transferFields(frame, peer.wireID);
  if (!fields || !fields->is_object() || fields->empty()) refuse();
  const auto transferID = textField(*fields, "transferID");
  if (!transferID) refuse();

  if (frame.kind() == "TRANSFER_OFFER") {
    handleOffer(frame, *fields, peer, sessionID);
    return;
  }
  const bool dropped = droppedOffers.contains(peer.wireID, *transferID);
  const Work entry = workOnWire(*transferID);
  if (!entry || entry->snapshot.peerID != peer.wireID || entry->controlID != sessionID ||
      entry->peerKey != peer.publicKey) {
    if (dropped) return;  // the rest of an offer this device let go unanswered
    refuse();
  }
  if (frame.kind() == "CANCEL") {
    if (entry->snapshot.state == TransferState::failed &&
        entry->snapshot.error == transferError(Case::disconnected)) {
      entry->snapshot.state = TransferState::cancelled;
      entry->snapshot.error.reset();
      notifyChanged();
      return;
    }
    finish(entry, TransferState::cancelled, std::nullopt);
    return;
  }
  if (isEnded(entry->snapshot.state)) return;
  if (frame.kind() == "MANIFEST_ENTRY" || frame.kind() == "MANIFEST_END") {
    // A repeated offer of a transfer that runs here was dropped; so is its manifest.
    if (dropped) return;
    handleManifest(entry, frame, peer);
    return;
  }
  if (frame.kind() == "TRANSFER_RESPONSE") {
    handleResponse(entry, *fields);
    return;
  }
  refuse();
}

void TransferEngine::handleOffer(const VEFrame& frame, const nlohmann::json& fields,
                                 const network::AuthenticatedPeer& peer,
                                 const std::string& sessionID) {
  const std::string id = *textField(fields, "transferID");
  prune();
  // What keeps this device from taking the offer now is its own state, not the sender's fault:
  // the offer goes unanswered (a refusal would close the control session and, with it, every
  // transfer of the pair) and its deadline ends it at the sender. An ended attempt of the same
  // transfer that never committed makes way for the new one.
  bool busy = false;
  for (const Work& held : {workOnWire(id), work.contains(id) ? work.at(id) : nullptr}) {
    if (!held) continue;
    const bool replaceable = !held->snapshot.outgoing && held->snapshot.peerID == peer.wireID &&
                             held->snapshot.state != TransferState::committed && idle(*held);
    if (!replaceable) {
      busy = true;
      break;
    }
  }
  if (!busy && (work.size() >= kMaximumHeld || activeCount() >= kMaximumActive)) busy = true;
  if (busy) {
    droppedOffers.remember(peer.wireID, id);
    return;
  }

  auto manifest = std::make_unique<IncomingManifest>(frame, peer.wireID);
  droppedOffers.forget(peer.wireID, id);
  eraseWork(id);
  RuntimeTransfer transfer;
  transfer.id = id;
  transfer.peerID = peer.wireID;
  transfer.contactID = peer.contactID;
  transfer.name = manifest->name;
  transfer.outgoing = false;
  transfer.totalBytes = manifest->totalBytes;
  transfer.state = TransferState::offering;
  transfer.itemCount = manifest->entryCount;
  transfer.createdAt = services_.wallClock();
  auto entry =
      std::make_shared<TransferWork>(std::move(transfer), sessionID, peer.publicKey, now());
  entry->offerID = manifest->offerID;
  entry->wireID = id;
  entry->manifest = std::move(manifest);
  entry->deadline = now() + kOfferingTime;
  insertWork(entry);
}

void TransferEngine::handleManifest(const Work& entry, const VEFrame& frame,
                                    const network::AuthenticatedPeer& peer) {
  if (entry->snapshot.outgoing || entry->snapshot.state != TransferState::offering ||
      !entry->manifest) {
    refuse();
  }
  entry->manifest->accept(frame, peer.wireID);
  if (entry->manifest->complete) {
    const auto& entries = entry->manifest->entries;
    std::vector<TransferDisplayItem> items;
    items.reserve(entries.size());
    std::vector<ContentEntry> files;
    for (const auto& manifestEntry : entries) {
      items.push_back({manifestEntry, std::nullopt});
      if (!manifestEntry.directory) files.push_back(manifestEntry);
    }
    entry->snapshot.items = std::move(items);
    entry->fileEntries = std::make_shared<const std::vector<ContentEntry>>(std::move(files));
    entry->snapshot.state = TransferState::pending;
    entry->deadline = now() + kDecisionTime;
  }
  notifyChanged();
}

// What the io queue hands back from laying out a receive.
struct TransferEngine::Prepared {
  std::optional<Case> failure;
  store::ReceiveJournal journal;
  std::optional<ContentUrl> finalURL;
};

void TransferEngine::accept(const std::string& transferID, const ContentUrl& destination) {
  const auto found = work.find(transferID);
  if (found == work.end()) return;
  const Work entry = found->second;
  if (entry->snapshot.outgoing || entry->snapshot.state != TransferState::pending ||
      !entry->manifest) {
    return;
  }
  // More than one data session could carry: such an offer is never taken.
  if (dataSessionBytes(entry->manifest->entries) > kMaxDataSessionBytes) {
    failAccept(entry, Case::sizeLimit);
    return;
  }
  entry->snapshot.state = TransferState::accepting;
  entry->snapshot.error.reset();
  try {
    if (persistSnapshot) persistSnapshot(entry->snapshot);
  } catch (...) {
    entry->snapshot.state = TransferState::pending;
    entry->snapshot.error = transferError(Case::io);
    notifyChanged();
    return;
  }
  notifyChanged();
  entry->destination = destination;

  const auto id = core::Uuid::parse(entry->snapshot.id);
  std::weak_ptr<TransferEngine> weakEngine = weak_from_this();
  std::weak_ptr<TransferWork> weakWork = entry;
  io->async([weakEngine, weakWork, home = home_, files = entry->files,
             cancellation = entry->cancellation, destination, id,
             entries = entry->manifest->entries, topLevel = entry->manifest->topLevelCount,
             total = entry->manifest->totalBytes, services = services_.receive] {
    if (weakEngine.expired() || weakWork.expired()) return;
    Prepared prepared;
    try {
      if (cancellation->isCancelled() || !id) throw ContentFailure(Case::cancelled);
      auto receiver =
          std::make_unique<AtomicReceive>(destination, *id, entries, topLevel, total, services);
      if (cancellation->isCancelled()) {
        receiver->cancel();
        throw ContentFailure(Case::cancelled);
      }
      prepared.journal = receiver->journal();
      prepared.finalURL = receiver->finalURL();
      files->receiver = std::move(receiver);
    } catch (...) {
      prepared.failure = contentFailureOf(std::current_exception());
    }
    home.async([weakEngine, weakWork, prepared = std::move(prepared)] {
      auto self = weakEngine.lock();
      auto live = weakWork.lock();
      if (self && live) self->completeAccept(live, prepared);
    });
  });
}

void TransferEngine::completeAccept(const Work& entry, const Prepared& prepared) {
  if (isEnded(entry->snapshot.state)) {
    releaseReceiver(entry);
    return;
  }
  if (prepared.failure) {
    failAccept(entry, *prepared.failure);
    return;
  }
  const Session session = controlSession(*entry);
  const auto local = localID ? localID() : std::nullopt;
  if (!session || !local || !entry->destination) {
    failAccept(entry, Case::access);
    return;
  }
  try {
    if (recordJournal) recordJournal(prepared.journal, *entry->destination);
  } catch (...) {
    failAccept(entry, contentFailureOf(std::current_exception()));
    return;
  }
  std::vector<std::uint8_t> random(kTokenBytes);
  if (!services_.random || !services_.random(random)) {
    failAccept(entry, Case::io);
    return;
  }
  const std::string token = hexText(random);
  const auto response = VEProtocol::transferFrameWithKind("TRANSFER_RESPONSE", *local,
                                                          {{"correlationID", entry->offerID},
                                                           {"accept", true},
                                                           {"token", token},
                                                           {"transferID", entry->wireID}});
  if (!response) {
    failAccept(entry, Case::invalidManifest);
    return;
  }
  if (!session->send(*response)) {
    failAccept(entry, Case::disconnected);
    return;
  }
  entry->permit = TransferPermit{token,
                                 entry->wireID,
                                 entry->controlID,
                                 *local,
                                 entry->snapshot.peerID,
                                 entry->peerKey,
                                 now() + kTokenTime,
                                 false};
  entry->deadline = now() + kAcceptedTime;
  entry->snapshot.state = TransferState::transferring;
  entry->snapshot.location =
      prepared.finalURL ? std::optional(prepared.finalURL->text()) : std::nullopt;
  notifyChanged();
}

void TransferEngine::failAccept(const Work& entry, Case failure) {
  releaseReceiver(entry);
  entry->snapshot.state = TransferState::pending;
  entry->snapshot.error = transferError(failure);
  entry->deadline = now() + kDecisionTime;
  notifyChanged();
}

void TransferEngine::decline(const std::string& transferID) {
  const auto found = work.find(transferID);
  if (found == work.end()) return;
  const Work entry = found->second;
  if (entry->snapshot.outgoing || entry->snapshot.state != TransferState::pending) return;
  const Session session = controlSession(*entry);
  const auto local = localID ? localID() : std::nullopt;
  if (!session || !local) return;
  const auto response = VEProtocol::transferFrameWithKind("TRANSFER_RESPONSE", *local,
                                                          {{"correlationID", entry->offerID},
                                                           {"accept", false},
                                                           {"reason", "declined"},
                                                           {"transferID", entry->wireID}});
  if (!response) return;
  const bool sent = session->send(*response);
  finish(entry, TransferState::rejected, std::nullopt);
  if (!sent) session->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
}

}  // namespace velmorine::transfer
