#pragma once

// The runtime's chat ledger: it registers each CHAT before it is sent, matches CHAT_ACK
// frames, answers incoming CHAT frames, expires and cancels. Thread-safe (one mutex).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/protocol/chat_ledger.h"
#include "native/protocol/ve_frame.h"

namespace velmorine {

// A CHAT seen for the first time.
struct VEIncomingChat {
  std::string message_id;  // lower case
  std::string text;
};

// What `VEChatLedger::handle` made of a received frame.
struct VEChatHandling {
  bool duplicate = false;
  std::optional<VEIncomingChat> incoming;
  std::optional<VEFrame> reply;             // the CHAT_ACK to send, whenever one was built
  std::optional<std::string> acknowledged;  // the settled message id, lower case
};

struct VEExpiredChat {
  std::string peer_id;     // lower case
  std::string message_id;  // lower case
};

class VEChatLedger {
 public:
  using Clock = protocol::ChatHandler::Clock;

  static constexpr int64_t kDefaultTimeoutMilliseconds = 10000;
  static constexpr int64_t kMaxTimeoutMilliseconds = 600000;
  static constexpr size_t kDeduplicationCapacity = 8192;

  // Nothing unless `localID` parses and the timeout is 1 to 600000 ms. `clock` is the steady
  // clock that deadlines are measured on; empty means `std::chrono::steady_clock`.
  static std::unique_ptr<VEChatLedger> create(
      std::string_view localID, int64_t timeoutMilliseconds = kDefaultTimeoutMilliseconds,
      Clock clock = {});

  // Registers a CHAT built by `VEProtocol::chatWithSender` for `peerID`; the frame to send.
  std::optional<VEFrame> begin(const VEFrame& chat, std::string_view peerID);

  // Nothing when the peer does not parse or the frame was not handled.
  std::optional<VEChatHandling> handle(const VEFrame& frame, std::string_view peerID);

  std::vector<VEExpiredChat> expire();

  // Identifiers that do not parse make these do nothing.
  void cancelPeer(std::string_view peerID);
  void cancelMessage(std::string_view messageID, std::string_view peerID);

 private:
  VEChatLedger(const core::Uuid& local_id, int64_t timeout_ms, Clock clock);

  core::Uuid local_id_;
  protocol::ChatHandler handler_;
};

}  // namespace velmorine
