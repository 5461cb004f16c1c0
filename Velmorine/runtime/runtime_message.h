#pragma once

// A chat message as the runtime keeps it, shows it and stores it in the history.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/store/store_date.h"

namespace velmorine::runtime {

enum class MessageDelivery {
  queued,        // outgoing, in the outbox, not yet handed to a session
  sending,       // outgoing, handed to a session, not yet acknowledged
  acknowledged,  // outgoing, the peer acknowledged it
  unconfirmed,   // outgoing, it may or may not have arrived
  received,      // incoming
  failed,        // outgoing, given up
  cancelled,     // outgoing, cancelled by the user
};

std::string_view rawValue(MessageDelivery delivery);
std::optional<MessageDelivery> messageDeliveryFromRaw(std::string_view raw);

// Why the runtime refused a text; the interface shows "send." followed by the raw value.
enum class SendRejection { offline, blocked, invalidText, tooLarge, busy, unavailable };

std::string_view rawValue(SendRejection rejection);

struct RuntimeMessage {
  std::string id;       // lower-case UUID text
  std::string frameID;  // lower-case UUID text; empty for a received message
  std::string peerID;   // the peer's device identifier
  std::string contactID;
  std::string text;
  bool outgoing = false;
  store::Date date;
  MessageDelivery delivery = MessageDelivery::queued;

  friend bool operator==(const RuntimeMessage&, const RuntimeMessage&) = default;
};

// The history payload: a JSON object with exactly the eight field names as keys, the date in
// seconds since 2001-01-01 and the delivery as its raw text.
std::vector<uint8_t> encodeRuntimeMessage(const RuntimeMessage& message);
// Throws store::StoreDecodingError unless all eight keys hold values of their kinds.
RuntimeMessage decodeRuntimeMessage(std::span<const uint8_t> payload);

}  // namespace velmorine::runtime
