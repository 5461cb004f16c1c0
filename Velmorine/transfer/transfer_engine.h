#pragma once

// The file-transfer engine as the runtime drives it. This is the engine's outline: it keeps no
// transfers yet, ends what it is asked to end and answers its completions at once, so the
// runtime around it can run before the sender's and receiver's sides exist.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_frame.h"
#include "platform/dispatch/serial_queue.h"

namespace velmorine::transfer {

// What settling the interrupted receives found: per transfer identifier text, the bookmark of
// the committed folder, or none for a stage that was removed.
using RecoveredReceives = std::map<std::string, std::optional<std::vector<uint8_t>>>;

class TransferEngine {
 public:
  using Session = std::shared_ptr<network::SecurePeerSession>;
  using RecoveryDone = std::function<void(RecoveredReceives result, bool decisionNeeded)>;

  // `queue` is the runtime's queue, on which every operation runs.
  explicit TransferEngine(platform::SerialQueue& queue);

  // The transfers of every work, oldest first.
  std::vector<RuntimeTransfer> transfers() const;

  // Settles the stored pending receives; `done` runs later on the runtime queue.
  void recoverReceives(const std::map<std::string, store::PendingReceive>& pending,
                       RecoveryDone done);
  // Runs `done` on the runtime queue once the file work queued so far has finished.
  void flush(std::function<void()> done);
  void stopAll();
  void tick();
  // Ends the peer's transfers; with `forget`, the ended works of `contactID` are dropped too.
  void cancelPeer(const std::string& peerID, bool forget = false,
                  const std::optional<std::string>& contactID = std::nullopt);
  // A data session became ready; the engine binds it to a transfer or closes it.
  void dataSessionReady(const Session& session);
  void dataSessionClosed(const core::Uuid& sessionID);
  // Throw when the frame is refused; without transfers every frame is.
  void handleDataFrame(const VEFrame& frame, const Session& session);
  void handleControlFrame(const VEFrame& frame, const network::AuthenticatedPeer& peer,
                          const Session& session);
  // Continues sending the manifests of the peer's transfers once its control session drains.
  void streamManifest(const std::string& peerID);

 private:
  platform::SerialQueue& queue_;
};

}  // namespace velmorine::transfer
