#include "Velmorine/transfer/runtime_transfer.h"

#include <string_view>

#include "Velmorine/store/store_document.h"

namespace velmorine::transfer {

namespace {

const std::vector<TransferDisplayItem>& noItems() {
  static const std::vector<TransferDisplayItem> none;
  return none;
}

}  // namespace

TransferItems::TransferItems(std::vector<TransferDisplayItem> items) {
  if (!items.empty()) items_ = std::make_shared<std::vector<TransferDisplayItem>>(std::move(items));
}

TransferItems::TransferItems(std::initializer_list<TransferDisplayItem> items)
    : TransferItems(std::vector<TransferDisplayItem>(items)) {}

const std::vector<TransferDisplayItem>& TransferItems::values() const {
  return items_ ? *items_ : noItems();
}

std::vector<TransferDisplayItem>& TransferItems::own() {
  if (!items_) {
    items_ = std::make_shared<std::vector<TransferDisplayItem>>();
  } else if (items_.use_count() > 1) {
    items_ = std::make_shared<std::vector<TransferDisplayItem>>(*items_);
  }
  return *items_;
}

void TransferItems::push_back(TransferDisplayItem item) { own().push_back(std::move(item)); }

void TransferItems::reserve(std::size_t count) { own().reserve(count); }

store::OrderedJson encodeJson(const TransferDisplayItem& item) {
  store::OrderedJson json = store::OrderedJson::object();
  json["entry"] = encodeJson(item.entry);
  if (item.sourceBookmark) json["sourceBookmark"] = store::bytesText(*item.sourceBookmark);
  return json;
}

TransferDisplayItem decodeTransferDisplayItem(const store::Json& value, const std::string& path) {
  const store::FieldReader fields(value, path);
  return TransferDisplayItem{
      .entry = decodeContentEntry(fields.object("entry").value(), fields.pathOf("entry")),
      .sourceBookmark = fields.optionalBytes("sourceBookmark"),
  };
}

store::OrderedJson encodeJson(const RuntimeTransfer& transfer) {
  store::OrderedJson json = store::OrderedJson::object();
  json["id"] = transfer.id;
  json["peerID"] = transfer.peerID;
  json["contactID"] = transfer.contactID;
  json["name"] = transfer.name;
  json["outgoing"] = transfer.outgoing;
  json["totalBytes"] = transfer.totalBytes;
  json["bytes"] = transfer.bytes;
  json["state"] = rawValue(transfer.state);
  if (transfer.error) json["error"] = *transfer.error;
  if (transfer.location) json["location"] = *transfer.location;
  json["itemCount"] = transfer.itemCount;
  store::OrderedJson items = store::OrderedJson::array();
  for (const TransferDisplayItem& item : transfer.items) items.push_back(encodeJson(item));
  json["items"] = std::move(items);
  json["createdAt"] = store::dateValue(transfer.createdAt);
  if (transfer.canRetryQueued) json["canRetryQueued"] = *transfer.canRetryQueued;
  return json;
}

RuntimeTransfer decodeRuntimeTransfer(const store::Json& value, const std::string& path) {
  const store::FieldReader fields(value, path);
  RuntimeTransfer transfer;
  transfer.id = fields.text("id");
  transfer.peerID = fields.text("peerID");
  transfer.contactID = fields.text("contactID");
  transfer.name = fields.text("name");
  transfer.outgoing = fields.boolean("outgoing");
  transfer.totalBytes = fields.unsignedInteger("totalBytes");
  transfer.bytes = fields.unsignedInteger("bytes");
  const std::string state = fields.text("state");
  const std::optional<TransferState> known = transferStateFromRaw(state);
  if (!known) fields.fail("state", "unknown transfer state");
  transfer.state = *known;
  transfer.error = fields.optionalText("error");
  transfer.location = fields.optionalText("location");
  // A URL is never empty text.
  if (transfer.location && transfer.location->empty()) fields.fail("location", "empty URL");
  transfer.itemCount = fields.integer("itemCount");
  const store::Json& items = fields.array("items");
  std::vector<TransferDisplayItem> decoded;
  decoded.reserve(items.size());
  for (std::size_t index = 0; index < items.size(); ++index) {
    decoded.push_back(decodeTransferDisplayItem(
        items[index], fields.pathOf("items") + "[" + std::to_string(index) + "]"));
  }
  transfer.items = std::move(decoded);
  transfer.createdAt = fields.date("createdAt");
  transfer.canRetryQueued = fields.optionalBoolean("canRetryQueued");
  return transfer;
}

std::vector<uint8_t> encodeRuntimeTransferPayload(const RuntimeTransfer& transfer) {
  std::string text;
  try {
    text = encodeJson(transfer).dump();
  } catch (const store::OrderedJson::exception& error) {
    throw store::StoreEncodingError(std::string("transfer: ") + error.what());
  }
  return {text.begin(), text.end()};
}

RuntimeTransfer decodeRuntimeTransferPayload(std::span<const uint8_t> payload) {
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  return decodeRuntimeTransfer(store::parseStoreJson(text));
}

}  // namespace velmorine::transfer
