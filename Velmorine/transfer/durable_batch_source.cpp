#include "Velmorine/transfer/durable_batch_source.h"

namespace velmorine::transfer {

store::OrderedJson encodeJson(const DurableBatchSource& source) {
  store::OrderedJson json = store::OrderedJson::object();
  json["id"] = store::identifierText(source.id);
  store::OrderedJson entries = store::OrderedJson::array();
  for (const auto& entry : source.entries) entries.push_back(encodeJson(entry));
  json["entries"] = std::move(entries);
  json["totalBytes"] = source.totalBytes;
  json["topLevelCount"] = source.topLevelCount;
  return json;
}

DurableBatchSource decodeDurableBatchSource(const store::Json& value, const std::string& path) {
  const store::FieldReader fields(value, path);
  DurableBatchSource source;
  source.id = fields.identifier("id");
  const store::Json& entries = fields.array("entries");
  source.entries.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    source.entries.push_back(
        decodeContentEntry(entries[i], fields.pathOf("entries") + "[" + std::to_string(i) + "]"));
  }
  source.totalBytes = fields.unsignedInteger("totalBytes");
  source.topLevelCount = fields.integer("topLevelCount");
  return source;
}

}  // namespace velmorine::transfer
