#include "Velmorine/runtime/runtime_message.h"

#include <array>
#include <utility>

#include "Velmorine/store/document_fields.h"

namespace velmorine::runtime {

namespace {

constexpr std::array<std::pair<MessageDelivery, std::string_view>, 7> kDeliveries{{
    {MessageDelivery::queued, "queued"},
    {MessageDelivery::sending, "sending"},
    {MessageDelivery::acknowledged, "acknowledged"},
    {MessageDelivery::unconfirmed, "unconfirmed"},
    {MessageDelivery::received, "received"},
    {MessageDelivery::failed, "failed"},
    {MessageDelivery::cancelled, "cancelled"},
}};

constexpr std::array<std::pair<SendRejection, std::string_view>, 6> kRejections{{
    {SendRejection::offline, "offline"},
    {SendRejection::blocked, "blocked"},
    {SendRejection::invalidText, "invalidText"},
    {SendRejection::tooLarge, "tooLarge"},
    {SendRejection::busy, "busy"},
    {SendRejection::unavailable, "unavailable"},
}};

}  // namespace

std::string_view rawValue(MessageDelivery delivery) {
  for (const auto& [value, raw] : kDeliveries) {
    if (value == delivery) return raw;
  }
  return {};
}

std::optional<MessageDelivery> messageDeliveryFromRaw(std::string_view raw) {
  for (const auto& [value, text] : kDeliveries) {
    if (text == raw) return value;
  }
  return std::nullopt;
}

std::string_view rawValue(SendRejection rejection) {
  for (const auto& [value, raw] : kRejections) {
    if (value == rejection) return raw;
  }
  return {};
}

std::vector<uint8_t> encodeRuntimeMessage(const RuntimeMessage& message) {
  store::OrderedJson json;
  json["id"] = message.id;
  json["frameID"] = message.frameID;
  json["peerID"] = message.peerID;
  json["contactID"] = message.contactID;
  json["text"] = message.text;
  json["outgoing"] = message.outgoing;
  json["date"] = store::dateValue(message.date);
  json["delivery"] = rawValue(message.delivery);
  std::string text;
  try {
    text = json.dump();
  } catch (const nlohmann::json::exception& error) {
    throw store::StoreEncodingError(error.what());
  }
  return {text.begin(), text.end()};
}

RuntimeMessage decodeRuntimeMessage(std::span<const uint8_t> payload) {
  store::Json json;
  try {
    json = store::Json::parse(payload.begin(), payload.end());
  } catch (const nlohmann::json::exception& error) {
    throw store::StoreDecodingError(std::string("message: ") + error.what());
  }
  const store::FieldReader fields(json, "message");
  RuntimeMessage message;
  message.id = fields.text("id");
  message.frameID = fields.text("frameID");
  message.peerID = fields.text("peerID");
  message.contactID = fields.text("contactID");
  message.text = fields.text("text");
  message.outgoing = fields.boolean("outgoing");
  message.date = fields.date("date");
  const auto delivery = messageDeliveryFromRaw(fields.text("delivery"));
  if (!delivery) fields.fail("delivery", "is not a delivery state");
  message.delivery = *delivery;
  return message;
}

}  // namespace velmorine::runtime
