// Data sessions: registering them, binding the receiver's with DATA_HELLO, the frames on them in
// strict order, their writes into the staged receive on the io queue, the commit and its
// acknowledgement, and the end of a session.

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

[[noreturn]] void refuse() { throw ContentFailure(Case::invalidManifest); }

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

}  // namespace

void TransferEngine::dataSessionReady(const Session& session) {
  const core::Uuid sessionID = session->connection()->id();
  data[sessionID] = session;
  pendingDataDeadlines[sessionID] = now() + kDataHelloTime;
  std::weak_ptr<TransferEngine> weakEngine = weak_from_this();
  session->connection()->onWritable = [weakEngine, sessionID] {
    if (auto self = weakEngine.lock()) self->dataWritable(sessionID);
  };

  const auto bound = dataTransfers.find(sessionID);
  if (bound == dataTransfers.end()) return;  // a receiver's: DATA_HELLO binds it
  const auto found = work.find(bound->second);
  const auto local = localID ? localID() : std::nullopt;
  if (found == work.end() || !local) return;
  const Work entry = found->second;
  if (!ownsDataSession(*entry, session) || !(now() < entry->tokenDeadline) || !entry->token) {
    // Its close, once reported, ends the transfer.
    session->close(closedFailure());
    return;
  }
  const auto hello = VEProtocol::transferFrameWithKind("DATA_HELLO", *local,
                                                       {{"recipient", entry->snapshot.peerID},
                                                        {"sessionID", entry->controlID},
                                                        {"token", *entry->token},
                                                        {"transferID", entry->wireID}});
  if (!hello) {
    finish(entry, TransferState::failed, Case::invalidManifest);
    return;
  }
  entry->output = *hello;
  entry->token.reset();
  sendNext(entry, session);
}

void TransferEngine::dataWritable(const core::Uuid& sessionID) {
  const auto bound = dataTransfers.find(sessionID);
  const auto open = data.find(sessionID);
  if (bound == dataTransfers.end() || open == data.end()) return;
  const auto found = work.find(bound->second);
  if (found == work.end()) return;
  const Work entry = found->second;
  const Session session = open->second;
  if (entry->snapshot.outgoing) {
    sendNext(entry, session);
  } else if (entry->heldAcknowledgement) {
    acknowledgeHeldCommit(entry);
  }
}

void TransferEngine::dataSessionClosed(const core::Uuid& sessionID) {
  data.erase(sessionID);
  pendingDataDeadlines.erase(sessionID);
  const auto bound = dataTransfers.find(sessionID);
  if (bound == dataTransfers.end()) return;
  const std::string transferID = bound->second;
  dataTransfers.erase(bound);
  const auto found = work.find(transferID);
  if (found == work.end()) return;
  const Work entry = found->second;
  if (isEnded(entry->snapshot.state)) return;
  const bool unconfirmed =
      entry->snapshot.outgoing && entry->snapshot.state == TransferState::awaitingCommit;
  finish(entry, unconfirmed ? TransferState::unconfirmed : TransferState::failed,
         Case::disconnected);
}

void TransferEngine::handleDataFrame(const VEFrame& frame, const Session& session) {
  if (!session || !session->peer()) refuse();
  const auto& peer = *session->peer();
  const auto local = localID ? localID() : std::nullopt;
  if (!local) refuse();
  const auto fields = VEProtocol::transferFields(frame, peer.wireID);
  if (!fields || !fields->is_object()) refuse();
  const auto transferID = textField(*fields, "transferID");
  if (!transferID) refuse();
  const Work entry = workOnWire(*transferID);
  if (!entry || isEnded(entry->snapshot.state) || !ownsDataSession(*entry, session)) refuse();
  const core::Uuid sessionID = session->connection()->id();
  const std::string& kind = frame.kind();

  if (kind == "DATA_HELLO") {
    if (entry->snapshot.outgoing || entry->snapshot.state != TransferState::transferring ||
        entry->dataClaimed || dataTransfers.contains(sessionID) || !entry->permit) {
      refuse();
    }
    if (!entry->permit->admit(*fields, peer, entry->controlID, now())) refuse();
    entry->token.reset();
    entry->dataClaimed = true;
    entry->dataSession = sessionID;
    pendingDataDeadlines.erase(sessionID);
    dataTransfers[sessionID] = entry->snapshot.id;
    entry->deadline = now() + kFrameTime;
    return;
  }

  const auto bound = dataTransfers.find(sessionID);
  if (bound == dataTransfers.end() || bound->second != entry->snapshot.id ||
      entry->dataSession != sessionID) {
    refuse();
  }
  if (kind == "CANCEL") {
    finish(entry, TransferState::cancelled, std::nullopt);
    return;
  }

  if (entry->snapshot.outgoing) {
    const std::uint64_t bytes = numberField(*fields, "bytes").value_or(UINT64_MAX);
    if (bytes < entry->snapshot.bytes || bytes > entry->snapshot.totalBytes) refuse();
    if (kind == "TRANSFER_PROGRESS") {
      entry->deadline =
          now() +
          (entry->snapshot.state == TransferState::awaitingCommit ? kCommitTime : kFrameTime);
      entry->snapshot.bytes = bytes;
      notifyChanged();
      return;
    }
    if (kind == "TRANSFER_COMPLETE") {
      if (textField(*fields, "status") != "receiver_committed" ||
          bytes != entry->snapshot.totalBytes ||
          entry->snapshot.state != TransferState::awaitingCommit) {
        refuse();
      }
      entry->snapshot.bytes = bytes;
      finish(entry, TransferState::committed, std::nullopt);
      return;
    }
    refuse();
  }

  // The receiver takes the frames of the manifest's files strictly in order.
  if (!entry->dataClaimed || entry->pendingIO >= kMaximumPendingIO) refuse();
  const auto& files = *entry->fileEntries;
  const bool current = static_cast<std::size_t>(entry->nextFile) < files.size();
  const ContentEntry* file = current ? &files[static_cast<std::size_t>(entry->nextFile)] : nullptr;
  if (kind == "FILE_BEGIN") {
    if (entry->phase != TransferPhase::begin || !file || !entryMatches(*fields, *file)) refuse();
  } else if (kind == "FILE_CHUNK") {
    if (entry->phase != TransferPhase::chunks || !file ||
        numberField(*fields, "index") != static_cast<std::uint64_t>(file->index) ||
        !numberField(*fields, "offset")) {
      refuse();
    }
  } else if (kind == "FILE_END") {
    if (entry->phase != TransferPhase::chunks || !file || !entryMatches(*fields, *file)) refuse();
  } else if (kind == "TRANSFER_COMPLETE") {
    if (entry->phase != TransferPhase::begin || current ||
        textField(*fields, "status") != "sender_done" ||
        numberField(*fields, "bytes") != entry->snapshot.totalBytes) {
      refuse();
    }
  } else {
    refuse();
  }
  entry->deadline = now() + kFrameTime;
  const std::int64_t index = file ? file->index : -1;
  if (kind == "FILE_BEGIN") {
    entry->phase = TransferPhase::chunks;
  } else if (kind == "FILE_END") {
    ++entry->nextFile;
    entry->phase = TransferPhase::begin;
  } else if (kind == "TRANSFER_COMPLETE") {
    entry->phase = TransferPhase::committing;
  }
  applyDataFrame(entry, session, frame, *fields, index);
}

// What the io queue hands back from one data frame.
struct TransferEngine::Applied {
  std::string kind;
  std::optional<Case> failure;
  std::uint64_t receivedBytes = 0;
  std::optional<ContentUrl> committed;
};

void TransferEngine::applyDataFrame(const Work& entry, const Session& session, const VEFrame& frame,
                                    const nlohmann::json& fields, std::int64_t index) {
  ++entry->pendingIO;
  // The sender is slowed by this disk: nothing more is read off the network until the file
  // work has caught up.
  session->connection()->pauseReading();
  const std::uint64_t offset = numberField(fields, "offset").value_or(0);
  std::weak_ptr<TransferEngine> weakEngine = weak_from_this();
  std::weak_ptr<TransferWork> weakWork = entry;
  std::weak_ptr<network::SecurePeerSession> weakSession = session;
  io->async([weakEngine, weakWork, weakSession, home = home_, files = entry->files,
             cancellation = entry->cancellation, frame, index, offset] {
    Applied applied;
    applied.kind = frame.kind();
    try {
      if (cancellation->isCancelled()) throw ContentFailure(Case::cancelled);
      AtomicReceive* receiver = files->receiver.get();
      if (!receiver) throw ContentFailure(Case::incomplete);
      if (applied.kind == "FILE_BEGIN") {
        receiver->beginFile(index);
      } else if (applied.kind == "FILE_CHUNK") {
        receiver->write(index, offset, frame.frame().payload);
      } else if (applied.kind == "FILE_END") {
        receiver->finishFile(index);
      } else if (applied.kind == "TRANSFER_COMPLETE") {
        applied.committed = receiver->commit();
      } else {
        throw ContentFailure(Case::invalidManifest);
      }
      applied.receivedBytes = receiver->receivedBytes();
    } catch (...) {
      applied.failure = contentFailureOf(std::current_exception());
    }
    home.async([weakEngine, weakWork, weakSession, applied = std::move(applied)] {
      auto self = weakEngine.lock();
      auto live = weakWork.lock();
      if (self && live) self->finishDataFrame(live, weakSession.lock(), applied);
    });
  });
}

void TransferEngine::finishDataFrame(const Work& entry, const Session& session,
                                     const Applied& applied) {
  --entry->pendingIO;
  if (isEnded(entry->snapshot.state)) return;
  if (applied.failure) {
    finish(entry, TransferState::failed, *applied.failure);
    return;
  }
  entry->snapshot.bytes = applied.receivedBytes;
  const auto local = localID ? localID() : std::nullopt;
  if (!applied.committed) {
    if (applied.kind == "FILE_CHUNK" || applied.kind == "FILE_END") {
      const auto progress =
          local ? VEProtocol::transferFrameWithKind(
                      "TRANSFER_PROGRESS", *local,
                      {{"bytes", applied.receivedBytes}, {"transferID", entry->wireID}})
                : std::nullopt;
      if (!progress) {
        finish(entry, TransferState::failed, Case::invalidManifest);
        return;
      }
      // Progress only informs: a connection without room just skips one report, and the
      // next one (or the commit) says more.
      if (session && !session->closed()) session->send(*progress);
    }
  } else {
    // The folder is in place from here on: whatever fails in its bookkeeping, it stays
    // committed, the sender hears so, and the journal stays for the next start to index it.
    bool bookkeepingFailed = false;
    const auto id = core::Uuid::parse(entry->snapshot.id);
    try {
      if (recordCommit && id) recordCommit(*id, *applied.committed);
    } catch (...) {
      bookkeepingFailed = true;
    }
    entry->snapshot.location = applied.committed->text();
    entry->snapshot.state = TransferState::committed;
    entry->permit.reset();
    entry->token.reset();
    try {
      if (persistSnapshot) persistSnapshot(entry->snapshot);
    } catch (...) {
      bookkeepingFailed = true;
    }
    if (bookkeepingFailed && storageFailed) storageFailed();
    entry->deadline = now() + kCommittedLinger;
    if (local) {
      entry->heldAcknowledgement =
          VEProtocol::transferFrameWithKind("TRANSFER_COMPLETE", *local,
                                            {{"status", "receiver_committed"},
                                             {"bytes", applied.receivedBytes},
                                             {"transferID", entry->wireID}});
    }
    acknowledgeHeldCommit(entry);
    releaseReceiver(entry);
    pump();
  }
  if (entry->pendingIO == 0 && session && !session->closed()) {
    session->connection()->resumeReading();
  }
  notifyChanged();
}

void TransferEngine::acknowledgeHeldCommit(const Work& entry) {
  if (!entry->heldAcknowledgement || !entry->dataSession) return;
  const auto open = data.find(*entry->dataSession);
  if (open == data.end()) {
    entry->heldAcknowledgement.reset();
    return;
  }
  const Session session = open->second;
  // Sent once its connection has room; the tick gives up on it with the session, 3 s on.
  if (acknowledgeCommit && acknowledgeCommit(session, *entry->heldAcknowledgement)) {
    entry->heldAcknowledgement.reset();
  }
}

}  // namespace velmorine::transfer
