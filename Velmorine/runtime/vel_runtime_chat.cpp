// The chat road: sending, delivery of queued messages, the outbox pump and incoming frames.

#include "Velmorine/runtime/vel_runtime.h"

namespace velmorine::runtime {

std::optional<SendRejection> VelRuntime::sendTextOnQueue(const std::string&, const std::string&,
                                                         const std::optional<std::string>&) {
  return SendRejection::unavailable;
}

void VelRuntime::sendChatFrame(const std::string&) {}

bool VelRuntime::deliverQueuedChats(const std::shared_ptr<network::SecurePeerSession>&) {
  return false;
}

void VelRuntime::pumpOutbox() {}

void VelRuntime::handleControlFrame(const VEFrame&, const network::AuthenticatedPeer&,
                                    const std::shared_ptr<network::SecurePeerSession>&, uint64_t,
                                    const core::Uuid&) {}

}  // namespace velmorine::runtime
