#pragma once

// The file-transfer engine: moves prepared batches between two peers, the offer and manifest on
// the peers' control session, the bytes on a data session of their own that the receiver admits
// with a one-time permit. It knows nothing of sessions, storage or the history but what the
// runtime hands it through its hooks. Its state lives on the runtime's queue; file work runs on
// its own serial io queue and comes back to the runtime's queue with its result.
//
// One type, its body spread by concern: transfer_engine.cpp (the table, finishing, pruning,
// releasing receives), _sender.cpp (offer, manifest stream, the data loop), _receiver.cpp (the
// control frames of an offer, accept and decline), _data.cpp (data sessions and their frames),
// _deadlines.cpp (the tick, cancelling, stopping, recovery).

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/store/store_date.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "Velmorine/transfer/transfer_work.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_frame.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/uptime_clock.h"
#include "platform/volume/volume.h"

namespace velmorine::transfer {

// What settling the interrupted receives found: per transfer identifier text, the bookmark of
// the committed folder, or none for a stage that was removed.
using RecoveredReceives = std::map<std::string, std::optional<std::vector<uint8_t>>>;

// Offers the receiver dropped, unanswered, because of its own state: their later frames are
// dropped too instead of refused. Bounded: the oldest is forgotten first.
class DroppedOffers {
 public:
  static constexpr std::size_t kCapacity = 256;

  void remember(const std::string& peerID, const std::string& transferID);
  void forget(const std::string& peerID, const std::string& transferID);
  bool contains(const std::string& peerID, const std::string& transferID) const;
  std::size_t size() const { return order_.size(); }

 private:
  std::deque<std::pair<std::string, std::string>> order_;
  std::set<std::pair<std::string, std::string>> known_;
};

class TransferEngine : public std::enable_shared_from_this<TransferEngine> {
 public:
  using Session = std::shared_ptr<network::SecurePeerSession>;
  using AcknowledgeCommit = std::function<bool(const Session&, const VEFrame&)>;
  using RecoveryDone = std::function<void(RecoveredReceives result, bool decisionNeeded)>;
  using Work = std::shared_ptr<TransferWork>;

  // Limits.
  static constexpr std::size_t kMaximumActive = 4;  // neither queued nor ended, both directions
  static constexpr std::size_t kMaximumHeld = 128;  // a new transfer needs fewer held
  static constexpr std::size_t kPrunedHeld = 127;
  static constexpr std::int64_t kMaximumPendingIO = 1024;
  static constexpr std::size_t kTokenBytes = 32;
  // A transfer stops adding to its connection's output here, so that four of them leave the
  // output budget shared by every connection room for chat and for the other transfers.
  static constexpr std::size_t kConnectionPause = 4 << 20;

  // Deadlines, in seconds of uptime.
  static constexpr double kOfferingTime = 30;
  static constexpr double kDecisionTime = 300;  // offered (sender), pending (receiver)
  static constexpr double kFrameTime = 30;      // between data frames
  static constexpr double kAcceptedTime = 60;   // receiver, until DATA_HELLO
  static constexpr double kTokenTime = 60;
  static constexpr double kCommitTime = 300;  // sender awaiting the receiver's commit
  static constexpr double kCommittedLinger = 3;
  static constexpr double kDataHelloTime = 12;

  // What the engine takes from its surroundings besides its queue.
  struct Services {
    std::shared_ptr<platform::UptimeClock> uptime = platform::system_uptime_clock();
    std::function<store::Date()> wallClock = [] {
      return store::Date::fromSystemTime(std::chrono::system_clock::now());
    };
    // Fills the buffer from the system random source; false when it fails.
    std::function<bool(std::span<std::uint8_t>)> random;
    ReceiveServices receive;
  };

  // `queue` is the runtime's queue: every operation runs on it, every hook is called on it.
  static std::shared_ptr<TransferEngine> create(platform::SerialQueue& queue,
                                                AcknowledgeCommit acknowledgeCommit,
                                                Services services);
  ~TransferEngine();
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;

  // Hooks, installed by the runtime right after creation. One not installed gives nothing.
  std::function<std::optional<std::string>()> localID;
  std::function<Session(const std::string& peerID)> control;   // may throw
  std::function<Session(const std::string& peerID)> openData;  // throws
  std::function<void()> changed;
  std::function<bool(const RuntimeTransfer&)> durableOutgoing;
  std::function<void(const RuntimeTransfer&)> persistSnapshot;  // throws
  std::function<void(const store::ReceiveJournal&, const ContentUrl& destination)>
      recordJournal;  // throws
  std::function<void(const core::Uuid& transferID, const ContentUrl& folder)>
      recordCommit;                                                 // throws
  std::function<void(const store::ReceiveJournal&)> retireJournal;  // throws
  // A committed receive's bookkeeping failed: its journal stays for the next start to index.
  std::function<void()> storageFailed;

  // --- Entry operations ---

  // The record of every work, oldest first.
  std::vector<RuntimeTransfer> transfers() const;

  // Sender (transfer_engine_sender.cpp). Queues the batch for `peerID` and returns the record's
  // identifier (the batch's). Throws ContentFailure: access (no live control session or local
  // identifier), entryLimit (128 held), conflict (the batch is still being sent), sizeLimit (it
  // would not fit on a data session), invalidManifest; or what `persistSnapshot` threw.
  std::string offer(std::shared_ptr<PreparedBatch> batch, const std::string& peerID);
  // Continues the manifest of every transfer of the peer once its control session drains.
  void streamManifest(const std::string& peerID);

  // Receiver (transfer_engine_receiver.cpp).
  void accept(const std::string& transferID, const ContentUrl& destination);
  void decline(const std::string& transferID);
  // A transfer frame of a control session; throws ContentFailure when it is refused, leaving
  // the engine as it was.
  void handleControlFrame(const VEFrame& frame, const network::AuthenticatedPeer& peer,
                          const Session& session);

  // Data sessions (transfer_engine_data.cpp). Throws ContentFailure when the frame is refused.
  void handleDataFrame(const VEFrame& frame, const Session& session);
  void dataSessionReady(const Session& session);
  void dataSessionClosed(const core::Uuid& sessionID);

  // Deadlines, cancelling and stopping (transfer_engine_deadlines.cpp).
  void tick();
  // Ends the peer's transfers; with `forget` they are dropped too (of `contactID` only, when
  // given).
  void cancelPeer(const std::string& peerID, bool forget = false,
                  const std::optional<std::string>& contactID = std::nullopt);
  void cancel(const std::string& transferID);
  void stopAll();
  // Settles stored pending receives on the io queue (never resumes one); `done` runs on the
  // engine queue. With a destination, it stands in for every receive's stored one.
  void recoverReceives(const std::map<std::string, store::PendingReceive>& pending,
                       std::optional<ContentUrl> destination, RecoveryDone done);
  // Runs `done` on the engine queue once the file work queued so far has finished.
  void flush(std::function<void()> done);

  // --- Steps, public for the engine's files and its tests ---

  double now() const { return services_.uptime->now(); }
  std::size_t activeCount() const;
  void prune();
  void pump();
  void streamManifest(const Work& work);
  void sendNext(const Work& work, const Session& session);
  void dataWritable(const core::Uuid& sessionID);
  void finish(const Work& work, TransferState state, std::optional<ContentFailure::Case> failure);
  void releaseReceiver(const Work& work);
  // The control session the work may still talk on: its peer's, the one it started on.
  Session controlSession(const TransferWork& work) const;
  bool ownsDataSession(const TransferWork& work, const Session& session) const;
  // The work whose frames carry `wireID`, or none.
  Work workOnWire(const std::string& wireID) const;
  // Ended and with nothing in flight: neither file work nor a registered data session.
  bool idle(const TransferWork& work) const;
  void insertWork(const Work& work);
  void eraseWork(const std::string& transferID);
  void notifyChanged() const;

  // --- State, confined to `queue` ---

  platform::SerialQueue& queue;
  AcknowledgeCommit acknowledgeCommit;
  std::unique_ptr<platform::SerialQueue> io;
  std::map<std::string, Work> work;                 // by the record's identifier
  std::map<core::Uuid, Session> data;               // open data sessions
  std::map<core::Uuid, std::string> dataTransfers;  // data session to the transfer it carries
  std::map<core::Uuid, double> pendingDataDeadlines;
  bool stopping = false;
  std::map<std::string, std::string> wireTransfers;  // wire identifier to record identifier
  DroppedOffers droppedOffers;

 private:
  TransferEngine(platform::SerialQueue& queue, AcknowledgeCommit acknowledgeCommit,
                 Services services);

  // Sender.
  void handleResponse(const Work& work, const nlohmann::json& fields);
  void acceptNextFrame(const Work& work, const Session& session, std::optional<VEFrame> frame,
                       TransferPhase phase, std::int64_t nextFile,
                       std::optional<ContentFailure::Case> failure);
  // Receiver.
  void handleOffer(const VEFrame& frame, const nlohmann::json& fields,
                   const network::AuthenticatedPeer& peer, const std::string& sessionID);
  void handleManifest(const Work& work, const VEFrame& frame,
                      const network::AuthenticatedPeer& peer);
  struct Prepared;
  void completeAccept(const Work& work, const Prepared& prepared);
  void failAccept(const Work& work, ContentFailure::Case failure);
  // Data.
  void applyDataFrame(const Work& work, const Session& session, const VEFrame& frame,
                      const nlohmann::json& fields, std::int64_t index);
  struct Applied;
  void finishDataFrame(const Work& work, const Session& session, const Applied& applied);
  void acknowledgeHeldCommit(const Work& work);

  // Posts `body` to the engine queue, where it runs only while the engine lives.
  void onEngine(std::function<void(TransferEngine&)> body) const;

  Services services_;
  platform::SerialQueue::Handle home_;
  bool pumping_ = false;
  bool pumpAgain_ = false;
};

// "transfer.error." + the failure's raw value.
std::string transferError(ContentFailure::Case failure);

// Lower-case hexadecimal of bytes, two digits a byte.
std::string hexText(std::span<const std::uint8_t> bytes);

}  // namespace velmorine::transfer
