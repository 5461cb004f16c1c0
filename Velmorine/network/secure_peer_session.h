#pragma once

// A secure connection turned into an authenticated stream of frames. Once the handshake is
// done the session sends its HELLO, cuts the decrypted bytes into frames, and accepts the
// peer's HELLO only when the peer's handshake key matches the fingerprint the peer announced
// on the network and the trust service admits it; frames that arrive before that decision are
// held within limits. It answers PING on control sessions, limits NOTIFY_ROUTE frames, hands
// reminder routes to the reminder client, and gives every other frame to its owner. Reports
// go up only through the closures the owner installs; everything runs on the connection's
// queue.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"
#include "Velmorine/network/peer_session_failure.h"
#include "Velmorine/network/reminder_route_client.h"
#include "Velmorine/network/secure_connection.h"
#include "native/protocol/ve_announcement.h"
#include "native/protocol/ve_frame.h"
#include "native/secure/ve_identity.h"
#include "platform/dispatch/timer.h"

namespace velmorine::network {

class SecurePeerSession : public std::enable_shared_from_this<SecurePeerSession> {
 public:
  static constexpr double kHelloDeadline = 12.0;
  // How often a HELLO waiting for its announcement is examined again.
  static constexpr double kHelloRetry = 0.1;
  static constexpr size_t kHelloHeaderLimit = 16384;
  static constexpr size_t kPendingFrameLimit = 64;
  static constexpr size_t kPendingByteLimit = 131072;
  static constexpr double kReminderWindow = 60.0;
  static constexpr int kRemindersPerWindow = 8;

  struct Configuration {
    std::string localID;     // this device's identifier, as HELLO carries it
    std::string localNonce;  // this process's nonce
    std::shared_ptr<const VEIdentity> identity;
    std::optional<std::string> expectedID;  // the device a dialled connection must reach
    uint32_t purpose = 0;  // 0 for an accepted connection, which learns it in the handshake
    std::shared_ptr<ReminderRouteClient> reminders;  // absent when reminders are off
    bool durableReceipts = false;
  };

  using Lookup = std::function<std::optional<VEAnnouncement>(const std::string& deviceID)>;
  // Throws the trust service's refusal.
  using Authenticate =
      std::function<std::string(const std::string& deviceID, std::span<const uint8_t> publicKey)>;

  static std::shared_ptr<SecurePeerSession> create(std::shared_ptr<SecureConnection> connection,
                                                   Configuration configuration);
  ~SecurePeerSession();
  SecurePeerSession(const SecurePeerSession&) = delete;
  SecurePeerSession& operator=(const SecurePeerSession&) = delete;

  // Installed by the owner before `start`.
  Lookup lookup;
  Authenticate authenticate;
  std::function<void(const AuthenticatedPeer& peer, std::optional<ReminderGrant> grant)>
      onReminderAvailability;
  std::function<void(const AuthenticatedPeer& peer)> onReady;
  std::function<void(const VEFrame& frame, const AuthenticatedPeer& peer)> onFrame;
  std::function<void(std::exception_ptr error)> onFailure;

  void start();
  // Only an authenticated session sends; false when closed, not yet authenticated, or when the
  // frame cannot be encoded or the connection refuses it.
  bool send(const VEFrame& frame);
  void close(std::exception_ptr error);

  const std::shared_ptr<SecureConnection>& connection() const { return connection_; }
  const std::optional<AuthenticatedPeer>& peer() const { return peer_; }
  bool closed() const { return closed_; }
  bool reminderNegotiated() const { return reminderNegotiated_; }
  bool supportsDurableAcknowledgments() const { return supportsDurableAcknowledgments_; }
  size_t pendingFrames() const { return pendingFrames_.size(); }
  bool helloPending() const { return pendingHello_.has_value(); }

 private:
  friend class ReminderRouteExchange;

  SecurePeerSession(std::shared_ptr<SecureConnection> connection, Configuration configuration);

  void handshakeComplete(std::vector<uint8_t> remoteKey, std::vector<uint8_t> transcript);
  void plaintext(std::span<const uint8_t> bytes);
  bool validateHello(const VEFrame& frame);
  void waitForAnnouncement();
  void retryHello();
  void stopHelloTimers();
  void frameAfterAuthentication(const VEFrame& frame);
  void deliverPending();
  template <typename Failure>
  void closeWith(const Failure& failure) {
    close(std::make_exception_ptr(failure));
  }
  uint32_t channelPurpose() const { return connection_->channel().purpose(); }

  std::shared_ptr<SecureConnection> connection_;
  Configuration configuration_;
  bool reminderNegotiated_ = false;
  bool supportsDurableAcknowledgments_ = false;
  std::optional<std::vector<uint8_t>> lastReminderFrame_;
  double reminderWindow_ = 0;
  int reminderFrameCount_ = 0;
  VEFrameDecoder decoder_;
  std::optional<std::vector<uint8_t>> remoteKey_;
  std::optional<std::vector<uint8_t>> transcript_;
  // One firing at the HELLO deadline; a session that sends nothing costs no wake-ups before.
  std::unique_ptr<platform::Timer> helloDeadline_;
  // Repeats only while a HELLO waits for its announcement.
  std::unique_ptr<platform::Timer> helloRetry_;
  std::optional<VEFrame> pendingHello_;
  std::vector<VEFrame> pendingFrames_;
  size_t pendingBytes_ = 0;
  std::optional<AuthenticatedPeer> peer_;
  bool closed_ = false;
};

}  // namespace velmorine::network
