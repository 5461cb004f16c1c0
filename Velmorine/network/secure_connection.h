#pragma once

// One secure channel over one TCP connection: dialled to a peer's route (optionally pinned to
// the local address and interface of another connection) or wrapped around an accepted one.
// It moves the handshake to the wire within 10 seconds, decrypts received bytes into
// plaintext records, and encrypts and queues outgoing plaintext within its own 16 MiB and the
// shared budget, with one write in flight. It knows nothing of frames; the owner's closures
// hear of establishment, plaintext and the one final failure. Every operation and callback
// runs on the owner's queue.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/network/network_output_budget.h"
#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/network/stream_connection.h"
#include "native/protocol/uuid.h"
#include "native/secure/ve_identity.h"
#include "native/secure/ve_secure_channel.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer.h"

namespace velmorine::network {

class SecureConnection : public std::enable_shared_from_this<SecureConnection> {
 public:
  static constexpr size_t kOutputLimit = 16777216;
  // One largest frame: an 8-byte prefix, a 65536-byte header and a 1048576-byte payload.
  static constexpr size_t kPlaintextLimit = VESecureChannel::kEncryptMax;
  static constexpr size_t kRecordPlaintext = 61440;
  // A record's 2-byte length and 16-byte tag.
  static constexpr size_t kRecordOverhead = 18;
  static constexpr size_t kReceiveLimit = 65536;
  // Reads before establishment: a peer's whole handshake flight fits, and a connection that
  // never gets further holds no more than this while it waits.
  static constexpr size_t kHandshakeReceiveLimit = VESecureChannel::kHandshakeOutputMax;
  static constexpr double kHandshakeDeadline = 10.0;
  // Spent chunks are dropped from the front of the output once this many piled up.
  static constexpr size_t kCompactAfter = 128;

  // The wire size of `plaintext` bytes sealed into records.
  static constexpr size_t sendEstimate(size_t plaintext) {
    return plaintext + kRecordOverhead * ((plaintext + kRecordPlaintext - 1) / kRecordPlaintext);
  }

  // An outgoing connection as initiator for `purpose` (1 control, 2 data); nothing starts.
  // Throws SecureConnectionFailure `closed` for port 0 and `network` (ENETUNREACH) when
  // `pinTo` is closed or its local address is on no usable interface, and BridgeError when the
  // channel cannot be made.
  static std::shared_ptr<SecureConnection> dial(const std::string& host, uint16_t port,
                                                std::shared_ptr<const VEIdentity> identity,
                                                uint32_t purpose, platform::SerialQueue& queue,
                                                std::shared_ptr<NetworkOutputBudget> budget,
                                                const SecureConnection* pinTo = nullptr);

  // A connection the listener accepted, as responder that learns its purpose from the
  // initiator. When the channel cannot be made the accepted connection is cancelled and the
  // result is empty.
  static std::shared_ptr<SecureConnection> accepted(
      std::shared_ptr<platform::TcpConnection> connection,
      std::shared_ptr<const VEIdentity> identity, platform::SerialQueue& queue,
      std::shared_ptr<NetworkOutputBudget> budget);

  // Any stream and channel; the two constructors above end here.
  static std::shared_ptr<SecureConnection> over(std::unique_ptr<StreamConnection> stream,
                                                std::unique_ptr<VESecureChannel> channel,
                                                platform::SerialQueue& queue,
                                                std::shared_ptr<NetworkOutputBudget> budget);

  ~SecureConnection();
  SecureConnection(const SecureConnection&) = delete;
  SecureConnection& operator=(const SecureConnection&) = delete;

  // Installed by the owner; each captures its owner weakly.
  std::function<void(std::vector<uint8_t> remoteKey, std::vector<uint8_t> transcript)>
      onEstablished;
  std::function<void(std::vector<uint8_t> plaintext)> onPlaintext;
  std::function<void(const SecureConnectionFailure& failure)> onFailure;
  std::function<void()> onWritable;

  void start();
  // True when the plaintext was accepted for encryption and writing; false (with nothing
  // changed) when closed, not established, empty, too long, or past either output limit.
  bool send(std::span<const uint8_t> plaintext);
  // The same for plaintext given as consecutive pieces, sealed without first being joined.
  bool send(std::span<const std::span<const uint8_t>> pieces);
  void close(const SecureConnectionFailure& failure);
  // A receiving data session pauses reading while its file work is behind.
  void pauseReading() { readingPaused_ = true; }
  void resumeReading();

  // Whether the connection's local IPv4 address is one of these interfaces' addresses.
  bool isOnInterfaces(const std::vector<DiscoveryInterface>& interfaces) const;

  const core::Uuid& id() const { return id_; }
  const std::optional<platform::Endpoint>& endpoint() const { return endpoint_; }
  std::optional<platform::Endpoint> localEndpoint() const;
  platform::SerialQueue& queue() const { return queue_; }
  const VESecureChannel& channel() const { return *crypto_; }
  bool closed() const { return closed_; }
  bool started() const { return started_; }
  bool established() const { return notifiedEstablishment_; }
  bool readingPaused() const { return readingPaused_; }
  size_t queuedBytes() const { return queuedBytes_; }
  size_t outputHead() const { return outputHead_; }
  size_t outputChunks() const { return output_.size(); }

 private:
  SecureConnection(std::unique_ptr<StreamConnection> stream,
                   std::unique_ptr<VESecureChannel> channel, platform::SerialQueue& queue,
                   std::shared_ptr<NetworkOutputBudget> budget);

  void handleState(StreamConnection::State state, std::error_code error);
  void handshakeStep();
  void requestReceive();
  void handleReceive(std::span<const uint8_t> content, bool endOfStream, std::error_code error);
  void enqueue(std::vector<uint8_t> chunk);
  void writeNext();
  void handleWritten(size_t size, std::error_code error);
  void closeWithCurrentException();

  core::Uuid id_;
  std::optional<platform::Endpoint> endpoint_;
  platform::SerialQueue& queue_;
  std::unique_ptr<StreamConnection> connection_;
  std::unique_ptr<VESecureChannel> crypto_;
  std::shared_ptr<NetworkOutputBudget> budget_;
  std::unique_ptr<platform::Timer> timeout_;
  std::vector<std::vector<uint8_t>> output_;
  size_t outputHead_ = 0;
  size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool notifiedEstablishment_ = false;
  bool closed_ = false;
  bool started_ = false;
  bool readingPaused_ = false;
  bool readPending_ = false;
};

}  // namespace velmorine::network
