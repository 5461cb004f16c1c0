// A transfer never waits for ever: the one-second sweep over deadlines, and the other ways a
// transfer ends from outside (a peer reset or forgotten, the user's cancel, networking stopped),
// and the settling of receives a previous run left behind.

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"
#include "platform/bookmarks/bookmarks.h"

namespace velmorine::transfer {

namespace {

std::exception_ptr closedFailure() {
  return std::make_exception_ptr(network::SecureConnectionFailure::closed());
}

}  // namespace

void TransferEngine::tick() {
  std::vector<core::Uuid> unbound;
  const double sessionsNow = now();
  for (const auto& [sessionID, deadline] : pendingDataDeadlines) {
    if (deadline < sessionsNow && !dataTransfers.contains(sessionID)) unbound.push_back(sessionID);
  }
  for (const auto& sessionID : unbound) {
    // Its close is reported back and removes its entries.
    if (const auto open = data.find(sessionID); open != data.end()) {
      const Session session = open->second;
      session->close(closedFailure());
    }
  }

  std::vector<Work> all;
  all.reserve(work.size());
  for (const auto& [id, entry] : work) all.push_back(entry);
  for (const auto& entry : all) {
    const double uptime = now();
    if (!isEnded(entry->snapshot.state)) {
      if (entry->deadline < uptime) {
        finish(entry,
               entry->snapshot.state == TransferState::awaitingCommit ? TransferState::unconfirmed
                                                                      : TransferState::failed,
               ContentFailure::Case::incomplete);
      }
      continue;
    }
    if (!entry->dataSession) continue;
    const auto open = data.find(*entry->dataSession);
    if (open == data.end()) continue;
    if (entry->deadline < uptime) {
      // A committed receiver's session, three seconds on.
      const Session session = open->second;
      session->close(closedFailure());
    } else if (entry->heldAcknowledgement) {
      acknowledgeHeldCommit(entry);
    }
  }
}

void TransferEngine::cancelPeer(const std::string& peerID, bool forget,
                                const std::optional<std::string>& contactID) {
  std::vector<Work> matching;
  for (const auto& [id, entry] : work) {
    if (entry->snapshot.peerID != peerID) continue;
    if (contactID && entry->snapshot.contactID != *contactID) continue;
    matching.push_back(entry);
  }
  for (const auto& entry : matching) {
    if (!isEnded(entry->snapshot.state)) {
      TransferState state = TransferState::cancelled;
      if (entry->snapshot.outgoing &&
          (entry->snapshot.state == TransferState::awaitingCommit ||
           (!forget && durableOutgoing && durableOutgoing(entry->snapshot)))) {
        state = TransferState::unconfirmed;
      }
      finish(entry, state, std::nullopt);
    }
    if (forget) eraseWork(entry->snapshot.id);
  }
  notifyChanged();
}

void TransferEngine::cancel(const std::string& transferID) {
  const auto found = work.find(transferID);
  if (found == work.end()) return;
  const Work entry = found->second;
  if (isEnded(entry->snapshot.state)) return;
  const Session session = controlSession(*entry);
  const auto local = localID ? localID() : std::nullopt;
  if (session && local) {
    const auto frame = VEProtocol::transferFrameWithKind(
        "CANCEL", *local, {{"reason", "cancelled"}, {"transferID", entry->wireID}});
    if (frame) session->send(*frame);
  }
  finish(entry, TransferState::cancelled, std::nullopt);
}

void TransferEngine::stopAll() {
  stopping = true;
  std::vector<Work> unfinished;
  for (const auto& [id, entry] : work) {
    if (!isEnded(entry->snapshot.state)) unfinished.push_back(entry);
  }
  for (const auto& entry : unfinished) {
    const bool unconfirmed =
        entry->snapshot.state == TransferState::awaitingCommit ||
        (entry->snapshot.outgoing && durableOutgoing && durableOutgoing(entry->snapshot));
    finish(entry, unconfirmed ? TransferState::unconfirmed : TransferState::cancelled,
           std::nullopt);
  }
  const auto open = data;
  for (const auto& [sessionID, session] : open) session->close(closedFailure());
  data.clear();
  pendingDataDeadlines.clear();
  dataTransfers.clear();
  stopping = false;
}

void TransferEngine::recoverReceives(const std::map<std::string, store::PendingReceive>& pending,
                                     std::optional<ContentUrl> destination, RecoveryDone done) {
  io->async([pending, destination, done = std::move(done), home = home_,
             services = services_.receive]() mutable {
    RecoveredReceives results;
    bool partlyFailed = false;
    for (const auto& [key, receive] : pending) {
      std::optional<ContentUrl> folder = destination;
      if (!folder) {
        try {
          const auto resolved =
              platform::resolve_bookmark(receive.destinationBookmark, services.volumeUuid);
          if (resolved.stale) {
            partlyFailed = true;
            continue;
          }
          folder = ContentUrl::file(resolved.path, true);
        } catch (...) {
          partlyFailed = true;
          continue;
        }
      }
      try {
        const auto committed =
            AtomicReceive::recoverStaleStages(*folder, receive.journal, services);
        if (committed) {
          results[key] = platform::create_bookmark(committed->path(), false, services.volumeUuid);
        } else {
          results[key] = std::nullopt;
        }
      } catch (...) {
        partlyFailed = true;
      }
    }
    home.async([done = std::move(done), results = std::move(results), partlyFailed]() mutable {
      done(std::move(results), partlyFailed);
    });
  });
}

}  // namespace velmorine::transfer
