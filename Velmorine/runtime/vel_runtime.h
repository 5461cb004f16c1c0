#pragma once

// The application's engine: one object that owns the store, the history, networking, peer
// sessions, messages, transfers and reminders, and runs all of it on its own serial queue.
// Every public operation captures its arguments and hops onto that queue; results and
// snapshots travel back through closures posted to the main queue. The body is spread over
// one file per concern (vel_runtime_*.cpp).

#include <chrono>
#include <cstdint>
#include <exception>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"
#include "Velmorine/network/discovery_service.h"
#include "Velmorine/network/network_output_budget.h"
#include "Velmorine/network/peer_directory.h"
#include "Velmorine/network/secure_connection.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/network/trust_service.h"
#include "Velmorine/reminders/reminder_client.h"
#include "Velmorine/reminders/reminder_outbox.h"
#include "Velmorine/runtime/peer_name_order.h"
#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/runtime/transfer_stamps.h"
#include "Velmorine/runtime/trust_index.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/durable_attachment_outbox.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_chat_ledger.h"
#include "native/protocol/ve_frame.h"
#include "native/secure/ve_identity.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer.h"
#include "platform/dispatch/uptime_clock.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/tcp_listener.h"

namespace velmorine::runtime {

// Everything the runtime takes from its surroundings besides its construction arguments, so
// that tests move time, answer on their own main queue and pick the computer name.
struct RuntimeEnvironment {
  // Posts work to the interface's main queue; required.
  std::function<void(std::function<void()>)> mainQueue;
  // The system uptime that every deadline, freshness test and rate window is measured on.
  std::shared_ptr<platform::UptimeClock> uptime = platform::system_uptime_clock();
  // The wall clock that stamps what is stored or sent.
  std::function<std::chrono::system_clock::time_point()> wallClock = [] {
    return std::chrono::system_clock::now();
  };
  // The system's computer name, or none.
  std::function<std::optional<std::string>()> computerName;
  // Fills the buffer from the system random source; false when it fails.
  std::function<bool(std::span<uint8_t>)> random;
  // What staged receives take from their surroundings (tests stop one at a point of their own).
  transfer::ReceiveServices receive;
};

// The hook that hands a reply frame to a session: true when the session took it.
using FrameSender =
    std::function<bool(const std::shared_ptr<network::SecurePeerSession>&, const VEFrame&)>;

// The default acknowledgement sender: `SecurePeerSession::send`.
bool sendOnSession(const std::shared_ptr<network::SecurePeerSession>& session,
                   const VEFrame& frame);

// Limits of the runtime.
inline constexpr size_t kMaximumSessions = 32;
// Not-yet-authenticated sessions from one remote address; beyond it the oldest of them goes.
inline constexpr size_t kMaximumUnauthenticatedPerAddress = 4;
inline constexpr size_t kMaximumPendingChats = 128;
// Every read of pending outbox rows takes at most this many.
inline constexpr int kOutboxQueryLimit = 200;
inline constexpr int kHistoryPageSize = 100;
inline constexpr int kStartHistoryRecords = 200;
inline constexpr size_t kSelectedMessageWindow = 1000;
inline constexpr size_t kOtherMessageWindow = 200;
inline constexpr size_t kSelectedTransferWindow = 200;
inline constexpr size_t kOtherTransferWindow = 50;
inline constexpr double kRecheckDelay = 0.5;
inline constexpr double kFiveSecondWork = 5.0;
inline constexpr uint64_t kAnnouncementCapabilities = 15;

// The history key of an item: kind, ":", contact in lower case, ":", identifier in lower case.
std::string historyKey(std::string_view kind, std::string_view contact, std::string_view id);
std::string messageKey(const RuntimeMessage& message);
std::string transferKey(const transfer::RuntimeTransfer& transfer);

// Appends a committed receive to the store's index. A full index lets its oldest entry go (the
// folder stays where it is) rather than refuse this and every later commit.
void appendReceived(store::StoreDocument& document, store::ReceiveIndexEntry entry);

class VelRuntime : public std::enable_shared_from_this<VelRuntime> {
 public:
  using Completion = std::function<void(bool)>;

  static std::shared_ptr<VelRuntime> create(std::filesystem::path directory,
                                            std::shared_ptr<store::IdentityKeychain> keychain,
                                            std::shared_ptr<reminders::ReminderClient> reminders,
                                            network::DiscoveryFactory makeDiscovery,
                                            bool durableReceipts, FrameSender acknowledgeChat,
                                            FrameSender acknowledgeCommit,
                                            RuntimeEnvironment environment);
  ~VelRuntime();
  VelRuntime(const VelRuntime&) = delete;
  VelRuntime& operator=(const VelRuntime&) = delete;

  // Installed once by the owner, before `start`; called on the main queue.
  void setOnSnapshot(std::function<void(RuntimeSnapshot)> onSnapshot);
  // Diagnostic codes ("control.replaced", "history.invalidRecord", ...); called on the runtime
  // queue.
  void setOnDiagnostic(std::function<void(std::string)> onDiagnostic);

  // Lifecycle.
  void start();
  void suspend();
  void resume();
  void shutdown(std::function<void()> completion = {});

  // Peers and chat.
  void connectPeer(std::string peerID);
  void sendText(std::string peerID, std::string text, std::optional<std::string> contactID,
                std::function<void(std::optional<SendRejection>)> completion = {});
  void selectConversation(std::string contactID, bool earlier);
  void resendMessage(std::string contactID, std::string messageID);
  void cancelMessage(std::string contactID, std::string messageID);
  void configureReminders();
  void cancelReminder(std::string peerID);

  // Decisions about a peer.
  void clearConversation(std::optional<std::string> contactID, std::string peerID,
                         Completion completion);
  void setPeerBlocked(std::string peerID, bool blocked);
  void resolveChangedKey(std::string peerID, bool keepSeparate);
  void verifyPeer(std::string peerID);

  // Settings.
  void setNetworkEnabled(bool enabled);
  void updatePreferences(std::function<void(store::AppPreferences&)> change);
  void refreshDeviceName();
  void renameDevice(std::optional<std::string> name, Completion completion);
  // All ended transfers, or the one of `peer` and `transferID`.
  struct TransferSelection {
    std::optional<std::string> peer;
    std::optional<std::string> transferID;
  };
  void hideEndedTransfers(TransferSelection selection, Completion completion);
  void resetDevices(Completion completion);

  // Transfers. An incoming transfer is accepted into a destination folder, or declined; any
  // transfer may be cancelled.
  void acceptTransfer(std::string transferID, std::filesystem::path destination);
  void declineTransfer(std::string transferID);
  void cancelTransfer(std::string transferID);
  // Offers a prepared batch to a peer at once; the completion runs on the main queue with the
  // transfer's identifier or the engine's refusal. The attachment outbox offers through this.
  using Offered = std::function<void(std::expected<std::string, transfer::ContentFailure::Case>)>;
  void offerBatch(std::shared_ptr<transfer::PreparedBatch> batch, std::string peerID,
                  Offered completion);
  // Hands a prepared batch to the attachment outbox, which stages and records it and offers it
  // once the peer is online; the completion runs on the main queue, with none when accepted.
  using FilesSent = std::function<void(std::optional<transfer::ContentFailure::Case>)>;
  void sendFiles(std::shared_ptr<transfer::PreparedBatch> batch, std::string peerID,
                 FilesSent completion,
                 std::shared_ptr<transfer::ContentCancellation> cancellation = nullptr);
  // Puts an outgoing batch that ended without confirmed delivery back into the outbox.
  void retryTransfer(std::string transferID);
  // Settles the interrupted receives that wait for a decision into `destination`.
  void recoverReceives(std::filesystem::path destination);

  // The received-files index. Forgetting an item leaves its files alone; relinking re-attaches
  // an item's folder that the user moved (the completion, on the main queue, gets the new
  // entry or none); opening gives the "Received" folder in the data folder, made when missing.
  using ReceivedFolderRelinked = std::function<void(std::optional<store::ReceiveIndexEntry>)>;
  using ReceivedFolderOpened =
      std::function<void(std::expected<std::filesystem::path, transfer::ContentFailure::Case>)>;
  void removeReceivedRecord(std::string transferID);
  void relinkReceivedFolder(std::filesystem::path folder, std::string transferID,
                            ReceivedFolderRelinked completion);
  void openReceivedFolder(ReceivedFolderOpened completion);

  platform::SerialQueue& queue() { return *queue_; }

  // The body of every operation runs on the queue. The declarations below are the runtime's
  // own, public so that the files of this type and its tests can reach them; callers outside
  // the runtime use the operations above.

  // Start and networking (vel_runtime_start.cpp).
  void openStore();
  void openHistory();
  // Settles the records a previous run left unsettled and that have no outbox row of their own.
  void settleUnsettledRecords();
  void finishStart(const transfer::RecoveredReceives& result, bool decisionNeeded,
                   const store::LocalStore* startedStore);
  void applyRecoveredReceives(const transfer::RecoveredReceives& result);
  void restoreReminderGrants();
  void startNetwork();
  void stopNetwork(bool publish);
  void startDiscovery(uint64_t forGeneration);
  void acceptConnection(std::shared_ptr<platform::TcpConnection> connection,
                        uint64_t forGeneration);
  // Whether a connection from `remote` may be taken: at the session cap, or at the cap of
  // sessions still in their handshake from that address, the oldest such session is closed to
  // make room; false when every session is authenticated.
  bool makeRoomForIncoming(const std::optional<platform::Endpoint>& remote);
  void suspendOnQueue();
  void resumeOnQueue();
  void shutdownOnQueue(std::function<void()> completion);
  void finishShutdown();

  // Snapshot (vel_runtime_snapshot.cpp).
  void publishSnapshot();
  RuntimeSnapshot buildSnapshot();
  bool isBlocked(const std::string& peerID) const;
  // The same, for a peer whose contact is already known.
  bool isBlocked(const std::string& peerID, const std::string& contact) const;
  // The store's trust records by claimed device, up to date with the store; none without one.
  const TrustIndex* trustIndex() const;
  bool deviceNameUsesFallback() const;

  // Settings (vel_runtime_settings.cpp).
  void reannounce();
  void setNetworkEnabledOnQueue(bool enabled);
  void updatePreferencesOnQueue(const std::function<void(store::AppPreferences&)>& change);
  void refreshDeviceNameOnQueue();
  bool renameDeviceOnQueue(const std::optional<std::string>& name);
  bool hideEndedTransfersOnQueue(const TransferSelection& selection);
  bool resetDevicesOnQueue();

  // Dialling (vel_runtime_dialling.cpp).
  void startRouteAttempt(const std::string& peerID);
  void dialPeer(const std::string& peerID);
  void failRouteAttempt(const std::string& peerID);

  // Sessions (vel_runtime_sessions.cpp).
  std::shared_ptr<network::SecurePeerSession> attachSession(
      std::shared_ptr<network::SecureConnection> connection, std::optional<std::string> expectedID,
      uint64_t forGeneration);
  void handleSessionReady(const network::AuthenticatedPeer& peer,
                          const std::shared_ptr<network::SecurePeerSession>& session,
                          uint64_t forGeneration, const core::Uuid& sessionID,
                          const std::string& attachLocalID);
  void handleSessionClosed(std::exception_ptr failure,
                           const std::shared_ptr<network::SecurePeerSession>& session,
                           uint64_t forGeneration, const core::Uuid& sessionID,
                           const std::string& attachLocalID,
                           const std::optional<std::string>& expectedID);
  void requeueSending(const std::optional<std::string>& peerID);
  void recheckPeer(const std::string& peerID, uint64_t forGeneration);
  // Closes with `closed` every session of the device whose HELLO nonce is not `nonce`.
  void closeSessionsOfOtherProcess(const std::string& peerID, const std::string& nonce);
  void resumeReading();
  void outputBudgetAvailable();

  // Timer and discovery (vel_runtime_discovery.cpp).
  void timerTick();
  std::optional<std::vector<uint8_t>> makeAnnouncement();
  void handleDiscovery(const std::vector<uint8_t>& datagram, const std::string& host,
                       const std::string& interface);
  void interfacesChanged(const std::vector<network::DiscoveryInterface>& interfaces);
  void discoveryStatus(const std::vector<network::DiscoveryIssue>& issues, size_t interfaceCount,
                       size_t channels);
  std::optional<VEAnnouncement> lookupAnnouncement(const std::string& deviceID) const;
  std::string authenticatePeer(const std::string& claimedID, std::span<const uint8_t> key);
  void reminderAvailability(const network::AuthenticatedPeer& peer,
                            const std::optional<network::ReminderGrant>& grant);
  void resetPeer(const std::string& peerID);
  void settlePeerMessages(const std::optional<std::string>& peerID);
  bool hasOpenAuthenticatedSession(const std::string& peerID) const;

  // Chat (vel_runtime_chat.cpp).
  std::string contactID(const std::string& peerID) const;
  std::optional<SendRejection> sendTextOnQueue(const std::string& peerID, const std::string& text,
                                               const std::optional<std::string>& contact);
  void sendChatFrame(const std::string& peerID);
  bool deliverQueuedChats(const std::shared_ptr<network::SecurePeerSession>& session);
  void pumpOutbox();
  void handleControlFrame(const VEFrame& frame, const network::AuthenticatedPeer& peer,
                          const std::shared_ptr<network::SecurePeerSession>& session,
                          uint64_t forGeneration, const core::Uuid& sessionID);

  void remindForMessage(const RuntimeMessage& message, const std::vector<uint8_t>& recipientKey);

  // Message actions and decisions about a peer (vel_runtime_actions.cpp).
  std::optional<store::ConversationOutboxEntry> firstPendingEntry(const std::string& contact,
                                                                  const std::string& messageID);
  void resendMessageOnQueue(const std::string& contact, const std::string& messageID);
  void cancelMessageOnQueue(const std::string& contact, const std::string& messageID);
  void configureRemindersOnQueue();
  void recordReceivedGrant(const std::string& contact, const std::vector<uint8_t>& key,
                           const std::optional<network::ReminderGrant>& grant,
                           uint64_t forGeneration);
  bool clearConversationOnQueue(const std::optional<std::string>& contact,
                                const std::string& peerID);
  void setPeerBlockedOnQueue(const std::string& peerID, bool blocked);
  void resolveChangedKeyOnQueue(const std::string& peerID, bool keepSeparate);
  void verifyPeerOnQueue(const std::string& peerID);

  // History window (vel_runtime_history.cpp).
  store::ConversationHistoryRecord historyRecord(const RuntimeMessage& message) const;
  void saveMessage(const RuntimeMessage& message);
  void enqueueMessage(const RuntimeMessage& message, std::span<const uint8_t> recipientKey);
  std::optional<store::ConversationOutboxEntry> outboxEntry(const RuntimeMessage& message);
  bool hasPendingOutboxRow(const RuntimeMessage& message);
  void loadConversationOnQueue(const std::string& contact, bool earlier);
  void absorbHistoryPage(const std::vector<store::ConversationHistoryRecord>& records,
                         const store::ConversationSequences& sequences);
  void reconcileOutboxMessages();
  void trimHistoryWindow(const std::vector<store::ConversationOutboxEntry>& pendingMessages);
  void persistLiveState();
  // The pending message rows, at most 200, read once for a snapshot; empty on failure.
  std::vector<store::ConversationOutboxEntry> pendingMessageRows();
  void reportInvalidRecord();
  // A pending message row and the message it holds.
  struct ReadableRow {
    store::ConversationOutboxEntry row;
    RuntimeMessage message;
  };
  // The oldest pending message row of `contact` after sequence `after` that can be read. A row
  // that cannot be read is reported, left stored and passed over: it is never sent, and the
  // contact's later rows go on without it. Throws when the history fails.
  std::optional<ReadableRow> oldestReadableRow(const std::string& contact, int64_t after = 0);
  // The same for every contact, in sequence order, at most 200. Throws when the history fails.
  std::vector<ReadableRow> readableOutboxHeads();
  // Brings the caches in step with a message record just written.
  void noteMessageWrite(const RuntimeMessage& message,
                        const store::ConversationHistoryRecord& record,
                        std::optional<int64_t> sequence = std::nullopt);
  // The message a history record holds, checked against the record's identifier and contact;
  // none (and the diagnostic) for a record that does not decode or does not match.
  std::optional<RuntimeMessage> messageOfRecord(const store::ConversationHistoryRecord& record);
  std::optional<transfer::RuntimeTransfer> transferOfRecord(
      const store::ConversationHistoryRecord& record);

  // Transfers (vel_runtime_transfers.cpp).
  transfer::TransferEngine& transfers();
  std::shared_ptr<transfer::TransferEngine> makeTransferEngine();
  transfer::DurableAttachmentOutbox& attachmentOutbox();
  std::shared_ptr<transfer::DurableAttachmentOutbox> makeAttachmentOutbox();
  // The outbox's hooks.
  std::optional<std::vector<uint8_t>> recipientKey(const std::string& contactID) const;
  bool attachmentAllowed(const std::string& peerID) const;
  bool peerOnline(const std::string& peerID, const std::vector<uint8_t>& key) const;
  void remindForFiles(const std::string& peerID, const std::vector<uint8_t>& key,
                      const std::string& transferID);
  void retryTransferOnQueue(const std::string& transferID);
  void recoverReceivesOnQueue(const std::filesystem::path& destination);
  std::vector<transfer::RuntimeTransfer> transferRows() const;
  void saveTransferState(const transfer::RuntimeTransfer& transfer, bool force);
  // The engine's hooks.
  std::shared_ptr<network::SecurePeerSession> controlSessionOf(const std::string& peerID) const;
  std::shared_ptr<network::SecurePeerSession> openDataSession(const std::string& peerID);
  bool isDurableOutgoing(const transfer::RuntimeTransfer& transfer);
  void persistTransfer(const transfer::RuntimeTransfer& transfer);
  enum class JournalStep { journal, commit };
  void recordReceiveJournal(JournalStep step, const store::ReceiveJournal& journal,
                            const core::Uuid& transferID, const transfer::ContentUrl& url);
  void retireReceiveJournal(const store::ReceiveJournal& journal);
  // Publishes one snapshot for any number of changes a helper reports in one turn of the queue.
  void helperChanged();
  void cancelTransferOnQueue(const std::string& transferID);

  // Received files (vel_runtime_received.cpp).
  void removeReceivedRecordOnQueue(const std::string& transferID);
  std::optional<store::ReceiveIndexEntry> relinkReceivedFolderOnQueue(
      const std::filesystem::path& folder, const std::string& transferID);
  std::expected<std::filesystem::path, transfer::ContentFailure::Case> openReceivedFolderOnQueue();

  // Time.
  double uptime() const { return environment_.uptime->now(); }
  store::Date now() const { return store::Date::fromSystemTime(environment_.wallClock()); }
  double wallSeconds() const;
  void onMain(std::function<void()> work) const;
  void diagnose(const std::string& code) const;

 private:
  VelRuntime(std::filesystem::path directory, std::shared_ptr<store::IdentityKeychain> keychain,
             std::shared_ptr<reminders::ReminderClient> reminders,
             network::DiscoveryFactory makeDiscovery, bool durableReceipts,
             FrameSender acknowledgeChat, FrameSender acknowledgeCommit,
             RuntimeEnvironment environment);

  // Runs `body` on the queue with the runtime held strongly until it has run.
  void onQueue(std::function<void(VelRuntime&)> body);
  // The same, holding the runtime weakly: nothing runs once it is gone.
  void onQueueWeakly(std::function<void(VelRuntime&)> body);
  std::weak_ptr<VelRuntime> weakSelf() { return weak_from_this(); }

 public:
  // State, all confined to `queue_` (the queue is declared first so it is destroyed last).
  RuntimeEnvironment environment_;
  std::unique_ptr<platform::SerialQueue> queue_;
  std::function<void(RuntimeSnapshot)> onSnapshot;
  std::function<void(std::string)> onDiagnostic;
  std::filesystem::path directoryURL;
  std::shared_ptr<store::IdentityKeychain> keychain;
  bool durableReceipts = true;
  FrameSender acknowledgeChat;
  FrameSender acknowledgeCommit;
  network::DiscoveryFactory makeDiscovery;
  std::shared_ptr<network::NetworkOutputBudget> networkBudget;
  std::shared_ptr<store::LocalStore> store;
  std::unique_ptr<network::TrustService> trust;
  std::shared_ptr<VEIdentity> identity;
  std::optional<std::string> localID;
  std::string nonce;
  std::unique_ptr<VEChatLedger> ledger;
  std::shared_ptr<platform::TcpListener> listener;
  std::shared_ptr<network::DiscoveryService> discovery;
  std::unique_ptr<platform::Timer> timer;
  network::PeerDirectory directory;
  std::set<std::string> deviceListWriteFailures;
  std::set<std::string> dismissedTransfers;
  std::map<core::Uuid, std::shared_ptr<network::SecurePeerSession>> sessions;
  // When each session was attached, and from which remote address, for the per-address cap.
  std::map<core::Uuid, uint64_t> sessionOrder;
  uint64_t nextSessionOrder = 0;
  std::shared_ptr<reminders::ReminderClient> reminders;
  reminders::ReminderOutbox reminderOutbox;
  std::map<std::string, double> nextOutboxReminder;
  std::map<std::string, double> reminderExpiry;
  double nextReminderDial = 0;
  std::set<core::Uuid> outgoingSessions;
  std::set<core::Uuid> supersededSessions;
  std::map<std::string, core::Uuid> active;
  std::map<std::string, network::PeerRouteAttempt> connecting;
  std::map<std::string, std::vector<uint8_t>> conflicts;
  std::set<std::string> recoveryPending;
  std::vector<RuntimeMessage> messages;
  std::shared_ptr<store::ConversationHistory> history;
  std::map<std::string, int64_t> historyOrder;
  // What the history holds of each retained item, by history key; consulted for every message
  // of every snapshot, so hashed.
  std::unordered_map<std::string, std::vector<uint8_t>> savedHistory;
  std::unordered_map<std::string, RuntimeMessage> savedMessages;
  std::unordered_map<std::string, transfer::RuntimeTransfer> savedTransfers;
  std::map<std::string, transfer::RuntimeTransfer> historyTransfers;
  std::set<std::string> historyPeers;
  std::set<std::string> earlierHistory;
  std::set<std::string> browsingHistory;
  std::map<std::string, int64_t> historyCursor;
  std::optional<std::string> selectedHistory;
  bool historyUnavailable = false;
  bool clearingHistory = false;
  std::shared_ptr<transfer::DurableAttachmentOutbox> attachmentOutbox_;
  std::set<std::string> liveIncoming;
  std::unordered_map<std::string, double> lastProgressWrite;
  std::unordered_map<std::string, transfer::TransferState> savedTransferState;
  std::string status = "network.paused";
  std::vector<network::DiscoveryIssue> issues;
  bool enabled = false;
  bool suspended = false;
  bool shuttingDown = false;
  bool shutdownFinished = false;
  std::vector<std::function<void()>> shutdownCompletions;
  uint64_t generation = 0;
  uint64_t sequence = 0;
  std::shared_ptr<transfer::TransferEngine> transfers_;
  TransferStamps transferStamps_;
  bool publishScheduled = false;
  // Derived from the store document on demand, also from const members.
  mutable TrustIndex trustIndex_;
  PeerNameOrder peerNames_;
};

}  // namespace velmorine::runtime
