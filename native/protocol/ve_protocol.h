#pragma once

// `VEProtocol`: the application's one entry to building and reading peer frames. Static
// methods only; no state.
//
// Conventions of every section below:
// - Identifiers (device, peer, message, frame) are text, read with `core::Uuid::parse` (either
//   case); identifiers handed back are lower-case text.
// - Bytes are `std::vector<uint8_t>` (or a span in), text is UTF-8 `std::string`.
// - A builder or parser that can only fail returns `std::optional` (empty = refused) or bool;
//   the reason is not reported. Methods that report a reason return
//   `std::expected<T, VEError>`. Nothing throws.
// Each section's definitions live in their own source file, named in its comment.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "native/protocol/ve_announcement.h"
#include "native/protocol/ve_error.h"
#include "native/protocol/ve_frame.h"

namespace velmorine {

// What `VEProtocol::parseChat` reads from a CHAT frame.
struct VEChatContent {
  std::string message_id;  // lower case
  std::string frame_id;    // lower case
  std::string text;
};

// What `VEProtocol::parseAck` reads from a CHAT_ACK frame.
struct VEChatAckContent {
  std::string message_id;      // lower case
  std::string correlation_id;  // lower case: the acknowledged CHAT frame's id
};

class VEProtocol {
 public:
  VEProtocol() = delete;

  // --- HELLO, liveness and reminder-route frames (ve_protocol_hello.cpp) ---

  // Channel purposes as HELLO carries them.
  static constexpr uint64_t kPurposeControl = 1;
  static constexpr uint64_t kPurposeData = 2;

  // A HELLO from device `id` with a fresh frame id and no capability.
  static std::optional<VEFrame> helloWithID(std::string_view id, std::string_view nonce,
                                            uint64_t purpose);
  // As `helloWithID`; a control HELLO also carries "notify_v1".
  static std::optional<VEFrame> reminderHelloWithID(std::string_view id, std::string_view nonce,
                                                    uint64_t purpose);
  // As `reminderHelloWithID` (reminders) or `helloWithID`; a control HELLO then also carries
  // "durable_ack_v1", last.
  static std::optional<VEFrame> durableHelloWithID(std::string_view id, std::string_view nonce,
                                                   uint64_t purpose, bool reminders);
  // True when `frame` is a HELLO from `peerID` with `nonce` for `purpose`.
  static bool validateHello(const VEFrame& frame, std::string_view peerID, std::string_view nonce,
                            uint64_t purpose);

  // `kind` is exactly "PING" or "PONG".
  static std::optional<VEFrame> livenessFrameWithKind(std::string_view kind, uint64_t pingID);
  // The "ping_id" of a PING or PONG frame.
  static std::optional<uint64_t> livenessID(const VEFrame& frame);

  // A kind-17 frame whose header is exactly `json` (1 to 1024 bytes, a frame header).
  static std::optional<VEFrame> reminderRouteWithJSON(std::span<const uint8_t> json);

  // --- Chat frames (ve_protocol_chat.cpp) ---

  // A CHAT stamped with the system clock now; the text must pass `VEOutboundPolicy`.
  static std::optional<VEFrame> chatWithSender(std::string_view sender, std::string_view messageID,
                                               std::string_view frameID, std::string_view text);
  static std::optional<VEChatContent> parseChat(const VEFrame& frame, std::string_view sender);
  // A CHAT_ACK with a fresh frame id.
  static std::optional<VEFrame> ackWithSender(std::string_view sender, std::string_view messageID,
                                              std::string_view correlationID);
  static std::optional<VEChatAckContent> parseAck(const VEFrame& frame, std::string_view sender);

  // --- Transfer frames (ve_protocol_transfer.cpp) ---

  // The transfer frame `kind` ("TRANSFER_OFFER", "MANIFEST_ENTRY", "MANIFEST_END",
  // "TRANSFER_RESPONSE", "CANCEL", "DATA_HELLO", "FILE_BEGIN", "FILE_END", "FILE_CHUNK",
  // "TRANSFER_PROGRESS", "TRANSFER_COMPLETE") from device `sender`, built from the named
  // values in `fields` (a JSON object; "transferID" required, "frameID" optional and fresh
  // when absent). `payload` is read only for FILE_CHUNK. Nothing when a value breaks a rule.
  static std::optional<VEFrame> transferFrameWithKind(std::string_view kind,
                                                      std::string_view sender,
                                                      const nlohmann::json& fields,
                                                      std::span<const uint8_t> payload = {});
  // The named values of a transfer frame that must come from `sender`: identifiers as
  // lower-case text, numbers as unsigned 64-bit, "directory" and "accept" as Booleans.
  static std::optional<nlohmann::json> transferFields(const VEFrame& frame,
                                                      std::string_view sender);

  // --- Discovery announcements (ve_protocol_discovery.cpp) ---

  // The announcement bytes of this device: wire 2.0, "velsecure-v1", platform "linux". Nothing
  // when the identifier does not parse, the port or capabilities do not fit, or the writer
  // refuses the record.
  static std::optional<std::vector<uint8_t>> discoveryWithID(
      std::string_view id, std::string_view name, std::string_view fingerprint,
      std::string_view nonce, uint64_t port, uint64_t capabilities, uint64_t sequence);
  // The announcement in a datagram, or nothing: for any refusal, including this device's own
  // announcement (`localID`) and a local identifier that does not parse.
  static std::optional<VEAnnouncement> parseDiscovery(std::span<const uint8_t> datagram,
                                                      std::string_view localID);

  // --- Key codes (defined in the secure library, native/secure/ve_protocol_key_codes.cpp) ---

  // The key's fingerprint as 64 lower-case hex digits; nothing unless the key is 32 bytes.
  static std::optional<std::string> fingerprint(std::span<const uint8_t> publicKey);
  // The 59-character safety code two devices compare after their handshake (the same on
  // both ends); nothing unless both identifiers parse and keys and transcript hash are
  // 32 bytes each.
  static std::optional<std::string> safetyCodeWithLocalID(std::string_view localID,
                                                          std::span<const uint8_t> localKey,
                                                          std::string_view remoteID,
                                                          std::span<const uint8_t> remoteKey,
                                                          std::span<const uint8_t> transcript);
  // The identifier, as lower-case text, under which a peer with a changed key is filed as a
  // separate contact; nothing unless the identifier parses and the key is 32 bytes.
  static std::optional<std::string> separateContactWithClaimedID(
      std::string_view claimedID, std::span<const uint8_t> publicKey);
};

}  // namespace velmorine
