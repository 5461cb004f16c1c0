// One TCP connection's secure channel as the application drives it: the
// prelude and handshake, then records, exchanged as plain bytes with its owner.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "native/protocol/ve_error.h"
#include "native/secure/ve_identity.h"
#include "native/secure/velsecure_context.h"

struct VelSecureHandshakePump_s;
struct VelSecureRecordReader_s;
struct VelSecureTransport_s;

namespace velmorine {

// What a channel takes from its surroundings. The defaults are the system's
// own: the default platform record and the monotonic clock in whole
// milliseconds; tests put in their own.
struct VESecureChannelEnvironment {
  VelSecurePlatform platform = velsecure_platform_default();
  std::function<uint64_t()> now_ms = steady_milliseconds;

  static uint64_t steady_milliseconds();
};

class VESecureChannel {
 public:
  static constexpr uint64_t kHandshakeTimeoutMs = 10000;
  // Handshake bytes collected before the owner takes them.
  static constexpr size_t kHandshakeOutputMax = 2048;
  // Received bytes handed over in one call of receive.
  static constexpr size_t kReceiveChunkMax = 65536;
  // One whole frame: an 8-byte prefix, a 65536-byte header and a 1048576-byte payload.
  static constexpr size_t kEncryptMax = 1114120;

  using Environment = VESecureChannelEnvironment;

  // An initiator for purpose 1 (control) or 2 (data), or a responder for 1, 2
  // or 0, which takes the purpose from the initiator's prelude. Anything else is
  // "invalid_argument" (1). A null identity is refused the same way.
  static std::expected<std::unique_ptr<VESecureChannel>, VEError> withIdentity(
      std::shared_ptr<const VEIdentity> identity, bool initiator, uint32_t purpose,
      Environment environment = {});

  VESecureChannel(const VESecureChannel&) = delete;
  VESecureChannel& operator=(const VESecureChannel&) = delete;
  ~VESecureChannel();

  // The prelude and handshake bytes to send now (possibly none); emptied by the call.
  std::expected<std::vector<uint8_t>, VEError> takeHandshakeOutput();
  // Feeds at most 65536 received bytes; returns the plaintext of every record
  // that this call completed, in order.
  std::expected<std::vector<std::vector<uint8_t>>, VEError> receive(std::span<const uint8_t> data);
  // Seals 1 to 1114120 plaintext bytes into records of at most 61440 plaintext
  // bytes each, returned as one run of bytes to send.
  std::expected<std::vector<uint8_t>, VEError> encrypt(std::span<const uint8_t> plaintext);
  // The same for plaintext given as consecutive pieces (a frame's prefix, header and payload),
  // gathered straight into the records without first being joined.
  std::expected<std::vector<uint8_t>, VEError> encrypt(
      std::span<const std::span<const uint8_t>> pieces);
  // The end of the incoming stream: "truncated" (14) when it stopped inside a
  // record or before the channel was established. Closes the channel.
  std::expected<void, VEError> finish();
  // Destroys everything that holds key material; final.
  void close();

  bool established() const { return established_; }
  bool closed() const { return closed_; }
  // 1 control or 2 data; 0 for a responder that has not seen the initiator's prelude.
  uint32_t purpose() const { return purpose_; }
  // The peer's static public key and the handshake hash, 32 bytes each once established.
  const std::vector<uint8_t>& remotePublicKey() const { return remote_public_key_; }
  const std::vector<uint8_t>& transcriptHash() const { return transcript_hash_; }

 private:
  VESecureChannel(std::shared_ptr<const VEIdentity> identity, uint32_t purpose,
                  Environment environment);

  std::expected<void, VEError> check(uint32_t status);
  std::expected<void, VEError> createPump(uint32_t role);
  std::expected<void, VEError> drainHandshake();
  std::expected<void, VEError> completeHandshake();
  std::expected<size_t, VEError> takePeerPrelude(std::span<const uint8_t> data);
  void wipe(std::vector<uint8_t>& bytes) const;

  std::shared_ptr<const VEIdentity> identity_;
  VelSecureContext_s* context_ = nullptr;
  VelSecureHandshakePump_s* pump_ = nullptr;
  VelSecureTransport_s* send_ = nullptr;
  VelSecureTransport_s* receive_ = nullptr;
  VelSecureRecordReader_s* reader_ = nullptr;
  std::vector<uint8_t> handshake_output_;
  std::optional<std::vector<uint8_t>> pending_prelude_;
  bool established_ = false;
  bool closed_ = false;
  uint32_t purpose_ = 0;
  std::vector<uint8_t> remote_public_key_;
  std::vector<uint8_t> transcript_hash_;
  Environment environment_;
};

}  // namespace velmorine
