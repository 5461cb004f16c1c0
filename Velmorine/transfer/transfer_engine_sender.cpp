// The sender's road: the offer, the manifest on the control session, the receiver's answer, and
// the data loop that reads one frame at a time on the io queue and hands it to the data session.

#include <algorithm>

#include "Velmorine/transfer/data_session_size.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

std::string displayName(const std::vector<ContentEntry>& entries) {
  if (entries.empty()) return "Velmorine";
  const std::string& path = entries.front().path;
  return path.substr(0, path.find('/'));
}

bool hasRoom(const TransferEngine::Session& session) {
  return session->connection()->queuedBytes() < TransferEngine::kConnectionPause;
}

}  // namespace

std::string TransferEngine::offer(std::shared_ptr<PreparedBatch> batch, const std::string& peerID) {
  Session session;
  if (control) {
    try {
      session = control(peerID);
    } catch (...) {
      session.reset();
    }
  }
  if (!session || session->closed() || !session->peer() ||
      session->connection()->channel().transcriptHash().empty()) {
    throw ContentFailure(Case::access);
  }
  const auto local = localID ? localID() : std::nullopt;
  if (!local || !batch) throw ContentFailure(Case::access);

  prune();
  if (work.size() >= kMaximumHeld) throw ContentFailure(Case::entryLimit);
  const std::string id = batch->id().to_string();
  if (const auto held = work.find(id); held != work.end()) {
    if (!idle(*held->second)) throw ContentFailure(Case::conflict);
    eraseWork(id);
  }
  checkDataSessionSize(batch->entries());

  const auto& peer = *session->peer();
  RuntimeTransfer transfer;
  transfer.id = id;
  transfer.peerID = peerID;
  transfer.contactID = peer.contactID;
  transfer.name = displayName(batch->entries());
  transfer.outgoing = true;
  transfer.totalBytes = batch->totalBytes();
  transfer.state = TransferState::queued;
  transfer.itemCount = static_cast<std::int64_t>(batch->entries().size());
  std::vector<TransferDisplayItem> items;
  items.reserve(batch->entries().size());
  for (const auto& entry : batch->entries()) {
    std::optional<std::vector<std::uint8_t>> bookmark;
    try {
      bookmark = batch->sourceBookmark(entry.index);
    } catch (...) {
      // Only a preview is lost.
    }
    items.push_back({entry, std::move(bookmark)});
  }
  transfer.items = std::move(items);
  transfer.createdAt = services_.wallClock();

  auto entry = std::make_shared<TransferWork>(
      std::move(transfer), hexText(session->connection()->channel().transcriptHash()),
      peer.publicKey, now());
  std::vector<ContentEntry> files;
  for (const auto& manifestEntry : batch->entries()) {
    if (!manifestEntry.directory) files.push_back(manifestEntry);
  }
  entry->fileEntries = std::make_shared<const std::vector<ContentEntry>>(std::move(files));
  entry->offerID = core::Uuid::random().to_string();
  entry->wireID = core::Uuid::random().to_string();
  const auto offerFrame =
      VEProtocol::transferFrameWithKind("TRANSFER_OFFER", *local,
                                        {{"frameID", entry->offerID},
                                         {"transferID", entry->wireID},
                                         {"name", entry->snapshot.name},
                                         {"entryCount", batch->entries().size()},
                                         {"topLevelCount", batch->topLevelCount()},
                                         {"totalBytes", batch->totalBytes()}});
  if (!offerFrame) throw ContentFailure(Case::invalidManifest);
  entry->controlFrames.push_back(*offerFrame);
  entry->batch = std::move(batch);
  // A queued transfer waits for a free slot for as long as it takes.
  entry->deadline = kNoDeadline;

  insertWork(entry);
  try {
    if (persistSnapshot) persistSnapshot(entry->snapshot);
  } catch (...) {
    eraseWork(id);
    throw;
  }
  pump();
  notifyChanged();
  return id;
}

void TransferEngine::streamManifest(const std::string& peerID) {
  std::vector<Work> offering;
  for (const auto& [id, entry] : work) {
    if (entry->snapshot.peerID == peerID && entry->snapshot.outgoing &&
        entry->snapshot.state == TransferState::offering) {
      offering.push_back(entry);
    }
  }
  for (const auto& entry : offering) streamManifest(entry);
}

void TransferEngine::streamManifest(const Work& entry) {
  if (!entry->snapshot.outgoing || entry->snapshot.state != TransferState::offering) return;
  const Session session = controlSession(*entry);
  if (!session) return;  // it waits; its deadline ends it
  const auto local = localID ? localID() : std::nullopt;
  if (!local || !entry->batch) {
    finish(entry, TransferState::failed, Case::access);
    return;
  }
  const auto& entries = entry->batch->entries();
  const auto count = static_cast<std::int64_t>(entries.size());
  while (entry->controlCursor <= count + 1) {
    if (!entry->manifestOutput) {
      if (entry->controlCursor == 0) {
        if (entry->controlFrames.empty()) {
          finish(entry, TransferState::failed, Case::invalidManifest);
          return;
        }
        entry->manifestOutput = entry->controlFrames.front();
      } else if (entry->controlCursor <= count) {
        try {
          entry->manifestOutput = manifestEntryFrame(
              entries[static_cast<std::size_t>(entry->controlCursor - 1)], *local, entry->wireID);
        } catch (...) {
          finish(entry, TransferState::failed, Case::invalidManifest);
          return;
        }
      } else {
        auto end = VEProtocol::transferFrameWithKind("MANIFEST_END", *local,
                                                     {{"entryCount", count},
                                                      {"sha256", entry->manifestHash.hexOfCopy()},
                                                      {"transferID", entry->wireID}});
        if (!end) {
          finish(entry, TransferState::failed, Case::invalidManifest);
          return;
        }
        entry->manifestOutput = std::move(*end);
      }
    }
    // Held back while its connection holds plenty: the writable callback resumes the walk.
    if (session->closed() || !session->peer() || !hasRoom(session)) return;
    if (!session->send(*entry->manifestOutput)) return;
    if (entry->manifestOutput->kind() == "MANIFEST_ENTRY") {
      const std::string& header = entry->manifestOutput->frame().header_utf8;
      entry->manifestHash.update(
          {reinterpret_cast<const std::uint8_t*>(header.data()), header.size()});
    }
    entry->manifestOutput.reset();
    ++entry->controlCursor;
  }
  entry->controlFrames.clear();
  entry->snapshot.state = TransferState::offered;
  entry->deadline = now() + kDecisionTime;
  notifyChanged();
}

void TransferEngine::handleResponse(const Work& entry, const nlohmann::json& fields) {
  if (!entry->snapshot.outgoing || entry->snapshot.state != TransferState::offered ||
      textField(fields, "correlationID") != entry->offerID) {
    throw ContentFailure(Case::invalidManifest);
  }
  const auto accepted = fields.find("accept");
  const bool accepts =
      accepted != fields.end() && ((accepted->is_boolean() && accepted->get<bool>()) ||
                                   (accepted->is_number() && *accepted != 0));
  if (!accepts) {
    finish(entry, TransferState::rejected, std::nullopt);
    return;
  }
  const auto token = textField(fields, "token");
  if (!token || !openData) throw ContentFailure(Case::invalidManifest);
  entry->token = *token;
  entry->tokenReceived = true;
  entry->tokenDeadline = now() + kTokenTime;
  entry->snapshot.state = TransferState::transferring;
  entry->deadline = now() + kFrameTime;
  Session session;
  try {
    session = openData(entry->snapshot.peerID);
  } catch (...) {
    session.reset();
  }
  if (!session) {
    finish(entry, TransferState::failed, Case::access);
    return;
  }
  const core::Uuid sessionID = session->connection()->id();
  entry->dataSession = sessionID;
  data[sessionID] = session;
  dataTransfers[sessionID] = entry->snapshot.id;
  // A dial that failed at once has reported its close already, before it was bound here.
  if (session->closed()) {
    dataSessionClosed(sessionID);
    return;
  }
  notifyChanged();
}

void TransferEngine::sendNext(const Work& entry, const Session& session) {
  const TransferState state = entry->snapshot.state;
  if (isEnded(state) || state == TransferState::awaitingCommit || session->closed() ||
      entry->reading) {
    return;
  }
  if (entry->output) {
    if (!hasRoom(session) || !session->send(*entry->output)) return;
    const bool last = entry->output->kind() == "TRANSFER_COMPLETE";
    entry->output.reset();
    entry->deadline = now() + kFrameTime;
    if (last) {
      entry->snapshot.state = TransferState::awaitingCommit;
      entry->deadline = now() + kCommitTime;
      notifyChanged();
      return;
    }
  }
  const auto local = localID ? localID() : std::nullopt;
  if (!local || !entry->batch) {
    finish(entry, TransferState::failed, Case::access);
    return;
  }
  entry->reading = true;

  std::weak_ptr<TransferEngine> weakEngine = weak_from_this();
  std::weak_ptr<TransferWork> weakWork = entry;
  std::weak_ptr<network::SecurePeerSession> weakSession = session;
  io->async([weakEngine, weakWork, weakSession, home = home_, files = entry->files,
             batch = entry->batch, cancellation = entry->cancellation,
             fileEntries = entry->fileEntries, nextFile = entry->nextFile, phase = entry->phase,
             wireID = entry->wireID, local = *local] {
    if (weakEngine.expired() || weakWork.expired() || weakSession.expired()) return;
    std::optional<VEFrame> frame;
    TransferPhase nextPhase = phase;
    std::int64_t next = nextFile;
    std::optional<Case> failure;
    try {
      if (cancellation->isCancelled()) throw ContentFailure(Case::cancelled);
      if (static_cast<std::size_t>(nextFile) == fileEntries->size()) {
        frame = VEProtocol::transferFrameWithKind(
            "TRANSFER_COMPLETE", local,
            {{"status", "sender_done"}, {"bytes", batch->totalBytes()}, {"transferID", wireID}});
        nextPhase = TransferPhase::done;
      } else {
        const ContentEntry& file = (*fileEntries)[static_cast<std::size_t>(nextFile)];
        if (phase == TransferPhase::begin) {
          files->reader = batch->openReader(file.index);
          auto fields = fileFields(file);
          fields["transferID"] = wireID;
          frame = VEProtocol::transferFrameWithKind("FILE_BEGIN", local, fields);
          nextPhase = TransferPhase::chunks;
        } else {
          if (!files->reader) throw ContentFailure(Case::incomplete);
          const std::uint64_t offset = files->reader->offset();
          const auto piece = files->reader->next(*cancellation);
          if (piece) {
            frame = VEProtocol::transferFrameWithKind(
                "FILE_CHUNK", local,
                {{"index", file.index}, {"offset", offset}, {"transferID", wireID}}, *piece);
          } else {
            files->reader.reset();
            auto fields = fileFields(file);
            fields["transferID"] = wireID;
            frame = VEProtocol::transferFrameWithKind("FILE_END", local, fields);
            next = nextFile + 1;
            nextPhase = TransferPhase::begin;
          }
        }
      }
      if (!frame) throw ContentFailure(Case::invalidManifest);
    } catch (...) {
      failure = contentFailureOf(std::current_exception());
      frame.reset();
    }
    home.async([weakEngine, weakWork, weakSession, frame = std::move(frame), nextPhase, next,
                failure]() mutable {
      auto self = weakEngine.lock();
      auto live = weakWork.lock();
      if (!self || !live) return;
      self->acceptNextFrame(live, weakSession.lock(), std::move(frame), nextPhase, next, failure);
    });
  });
}

void TransferEngine::acceptNextFrame(const Work& entry, const Session& session,
                                     std::optional<VEFrame> frame, TransferPhase phase,
                                     std::int64_t nextFile, std::optional<Case> failure) {
  entry->reading = false;
  if (isEnded(entry->snapshot.state)) return;
  if (failure) {
    finish(entry, TransferState::failed, *failure);
    return;
  }
  entry->output = std::move(frame);
  entry->phase = phase;
  entry->nextFile = nextFile;
  // A session gone meanwhile has reported its close, which ended the transfer.
  if (session) sendNext(entry, session);
}

}  // namespace velmorine::transfer
