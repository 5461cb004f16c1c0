// The engine's table: creating and listing works, starting queued ones, pruning ended ones, and
// the one way every transfer ends, with the release of what it held on disk.

#include "Velmorine/transfer/transfer_engine.h"

#include <algorithm>

#include "Velmorine/network/secure_connection_failure.h"
#include "native/product/product_identifier.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {

void DroppedOffers::remember(const std::string& peerID, const std::string& transferID) {
  auto key = std::make_pair(peerID, transferID);
  if (known_.contains(key)) return;
  if (order_.size() >= kCapacity) {
    known_.erase(order_.front());
    order_.pop_front();
  }
  known_.insert(key);
  order_.push_back(std::move(key));
}

void DroppedOffers::forget(const std::string& peerID, const std::string& transferID) {
  const auto key = std::make_pair(peerID, transferID);
  if (known_.erase(key) == 0) return;
  std::erase(order_, key);
}

bool DroppedOffers::contains(const std::string& peerID, const std::string& transferID) const {
  return known_.contains({peerID, transferID});
}

std::string transferError(ContentFailure::Case failure) { return transferErrorKey(failure); }

std::string hexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

std::shared_ptr<TransferEngine> TransferEngine::create(platform::SerialQueue& queue,
                                                       AcknowledgeCommit acknowledgeCommit,
                                                       Services services) {
  return std::shared_ptr<TransferEngine>(
      new TransferEngine(queue, std::move(acknowledgeCommit), std::move(services)));
}

TransferEngine::TransferEngine(platform::SerialQueue& engineQueue, AcknowledgeCommit acknowledge,
                               Services services)
    : queue(engineQueue),
      acknowledgeCommit(std::move(acknowledge)),
      io(std::make_unique<platform::SerialQueue>(product_scoped("transfer.io"))),
      services_(std::move(services)),
      home_(engineQueue.handle()) {
  if (!services_.uptime) services_.uptime = platform::system_uptime_clock();
}

// The io queue stops here: work still waiting on it is dropped with what it holds, and results
// already on their way back find the engine gone.
TransferEngine::~TransferEngine() { io.reset(); }

void TransferEngine::onEngine(std::function<void(TransferEngine&)> body) const {
  home_.async(
      [weak = std::weak_ptr<const TransferEngine>(weak_from_this()), body = std::move(body)] {
        if (auto self = std::const_pointer_cast<TransferEngine>(weak.lock())) body(*self);
      });
}

void TransferEngine::notifyChanged() const {
  if (changed) changed();
}

std::vector<RuntimeTransfer> TransferEngine::transfers() const {
  std::vector<const TransferWork*> ordered;
  ordered.reserve(work.size());
  for (const auto& [id, entry] : work) ordered.push_back(entry.get());
  std::ranges::stable_sort(ordered, [](const TransferWork* a, const TransferWork* b) {
    return a->snapshot.createdAt < b->snapshot.createdAt;
  });
  std::vector<RuntimeTransfer> result;
  result.reserve(ordered.size());
  for (const auto* entry : ordered) result.push_back(entry->snapshot);
  return result;
}

std::size_t TransferEngine::activeCount() const {
  std::size_t count = 0;
  for (const auto& [id, entry] : work) {
    const TransferState state = entry->snapshot.state;
    if (state != TransferState::queued && !isEnded(state)) ++count;
  }
  return count;
}

bool TransferEngine::idle(const TransferWork& entry) const {
  return isEnded(entry.snapshot.state) && entry.pendingIO == 0 && !entry.reading &&
         !(entry.dataSession && data.contains(*entry.dataSession));
}

void TransferEngine::insertWork(const Work& entry) {
  work[entry->snapshot.id] = entry;
  wireTransfers[entry->wireID] = entry->snapshot.id;
}

void TransferEngine::eraseWork(const std::string& transferID) {
  const auto found = work.find(transferID);
  if (found == work.end()) return;
  if (const auto wire = wireTransfers.find(found->second->wireID);
      wire != wireTransfers.end() && wire->second == transferID) {
    wireTransfers.erase(wire);
  }
  work.erase(found);
}

TransferEngine::Work TransferEngine::workOnWire(const std::string& wireID) const {
  const auto wire = wireTransfers.find(wireID);
  if (wire == wireTransfers.end()) return nullptr;
  const auto found = work.find(wire->second);
  return found == work.end() ? nullptr : found->second;
}

void TransferEngine::prune() {
  if (work.size() <= kPrunedHeld) return;
  std::vector<const TransferWork*> prunable;
  for (const auto& [id, entry] : work) {
    if (idle(*entry)) prunable.push_back(entry.get());
  }
  std::ranges::stable_sort(prunable, [](const TransferWork* a, const TransferWork* b) {
    return a->snapshot.createdAt < b->snapshot.createdAt;
  });
  std::vector<std::string> doomed;
  for (const auto* entry : prunable) {
    if (work.size() - doomed.size() <= kPrunedHeld) break;
    doomed.push_back(entry->snapshot.id);
  }
  for (const auto& id : doomed) eraseWork(id);
}

void TransferEngine::pump() {
  if (stopping) return;
  // A start that fails finishes its work, and finishing pumps: that inner call only asks for
  // another round of this one.
  if (pumping_) {
    pumpAgain_ = true;
    return;
  }
  pumping_ = true;
  do {
    pumpAgain_ = false;
    std::vector<Work> queued;
    for (const auto& [id, entry] : work) {
      if (entry->snapshot.state == TransferState::queued) queued.push_back(entry);
    }
    std::ranges::stable_sort(queued, [](const Work& a, const Work& b) {
      return a->snapshot.createdAt < b->snapshot.createdAt;
    });
    for (const auto& entry : queued) {
      if (stopping || activeCount() >= kMaximumActive) break;
      if (entry->snapshot.state != TransferState::queued) continue;
      entry->snapshot.state = TransferState::offering;
      entry->deadline = now() + kOfferingTime;
      try {
        if (persistSnapshot) persistSnapshot(entry->snapshot);
      } catch (...) {
        finish(entry, TransferState::failed, ContentFailure::Case::io);
        continue;
      }
      streamManifest(entry);
    }
  } while (pumpAgain_ && !stopping);
  pumping_ = false;
}

TransferEngine::Session TransferEngine::controlSession(const TransferWork& entry) const {
  if (!control) return nullptr;
  Session session;
  try {
    session = control(entry.snapshot.peerID);
  } catch (...) {
    return nullptr;
  }
  if (!session || session->closed() || !session->peer()) return nullptr;
  if (hexText(session->connection()->channel().transcriptHash()) != entry.controlID) {
    return nullptr;
  }
  if (session->peer()->publicKey != entry.peerKey) return nullptr;
  return session;
}

bool TransferEngine::ownsDataSession(const TransferWork& entry, const Session& session) const {
  const auto& peer = session->peer();
  return peer && peer->wireID == entry.snapshot.peerID && peer->publicKey == entry.peerKey &&
         controlSession(entry) != nullptr;
}

void TransferEngine::finish(const Work& entry, TransferState state,
                            std::optional<ContentFailure::Case> failure) {
  if (isEnded(entry->snapshot.state)) return;
  // The receiver holds a stage (and a permit) from the moment it answered with a token, so a
  // sender that had one tells it of a failure even after DATA_HELLO used the token up.
  const bool tellReceiver =
      state == TransferState::failed && entry->snapshot.outgoing && entry->tokenReceived;
  entry->snapshot.state = state;
  entry->snapshot.error =
      failure ? std::optional<std::string>(transferError(*failure)) : std::nullopt;
  entry->token.reset();
  entry->permit.reset();
  entry->controlFrames.clear();
  entry->manifestOutput.reset();
  entry->output.reset();
  entry->heldAcknowledgement.reset();
  if (tellReceiver) {
    const auto session = controlSession(*entry);
    const auto local = localID ? localID() : std::nullopt;
    if (session && local) {
      const auto frame = VEProtocol::transferFrameWithKind(
          "CANCEL", *local, {{"reason", "sender_failed"}, {"transferID", entry->wireID}});
      if (frame) session->send(*frame);
    }
  }
  entry->cancellation->cancel();
  if (entry->dataSession) {
    if (const auto open = data.find(*entry->dataSession); open != data.end()) {
      const Session session = open->second;
      session->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
    }
  }
  entry->batch.reset();
  releaseReceiver(entry);
  pump();
  notifyChanged();
}

void TransferEngine::releaseReceiver(const Work& entry) {
  auto files = entry->files;
  const auto receive = services_.receive;
  std::weak_ptr<TransferEngine> weak = weak_from_this();
  const auto home = home_;
  io->async([files, receive, weak, home] {
    files->reader.reset();
    if (!files->receiver) return;
    const auto receiver = std::move(files->receiver);
    files->receiver.reset();
    receiver->cancel();
    std::optional<ContentUrl> committed;
    try {
      committed =
          AtomicReceive::recoverStaleStages(receiver->destination(), receiver->journal(), receive);
    } catch (...) {
      // Neither settled nor known to be gone: the journal stays for the user's recovery.
      return;
    }
    // A committed folder keeps its journal until it is indexed.
    if (committed) return;
    home.async([weak, journal = receiver->journal()] {
      auto self = weak.lock();
      if (!self || !self->retireJournal) return;
      try {
        self->retireJournal(journal);
      } catch (...) {
      }
    });
  });
}

void TransferEngine::flush(std::function<void()> done) {
  const auto home = home_;
  io->async([home, done = std::move(done)]() mutable { home.async(std::move(done)); });
}

}  // namespace velmorine::transfer
