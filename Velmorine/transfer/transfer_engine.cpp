#include "Velmorine/transfer/transfer_engine.h"

#include <stdexcept>

#include "Velmorine/network/secure_connection_failure.h"

namespace velmorine::transfer {

TransferEngine::TransferEngine(platform::SerialQueue& queue) : queue_(queue) {}

std::vector<RuntimeTransfer> TransferEngine::transfers() const { return {}; }

void TransferEngine::recoverReceives(const std::map<std::string, store::PendingReceive>&,
                                     RecoveryDone done) {
  queue_.async([done = std::move(done)] { done({}, false); });
}

void TransferEngine::flush(std::function<void()> done) { queue_.async(std::move(done)); }

void TransferEngine::stopAll() {}

void TransferEngine::tick() {}

void TransferEngine::cancelPeer(const std::string&, bool, const std::optional<std::string>&) {}

void TransferEngine::dataSessionReady(const Session& session) {
  // No transfer can claim it yet.
  session->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
}

void TransferEngine::dataSessionClosed(const core::Uuid&) {}

void TransferEngine::handleDataFrame(const VEFrame& frame, const Session&) {
  throw std::invalid_argument("no transfer takes " + frame.kind());
}

void TransferEngine::handleControlFrame(const VEFrame& frame, const network::AuthenticatedPeer&,
                                        const Session&) {
  throw std::invalid_argument("no transfer takes " + frame.kind());
}

void TransferEngine::streamManifest(const std::string&) {}

}  // namespace velmorine::transfer
