#include "Velmorine/transfer/content_entry.h"

namespace velmorine::transfer {

store::OrderedJson encodeJson(const ContentEntry& entry) {
  store::OrderedJson json = store::OrderedJson::object();
  json["index"] = entry.index;
  json["path"] = entry.path;
  json["directory"] = entry.directory;
  json["size"] = entry.size;
  json["modifiedUTC"] = entry.modifiedUTC;
  if (entry.sha256) json["sha256"] = *entry.sha256;
  return json;
}

ContentEntry decodeContentEntry(const store::Json& value, const std::string& path) {
  const store::FieldReader fields(value, path);
  return ContentEntry{
      .index = fields.integer("index"),
      .path = fields.text("path"),
      .directory = fields.boolean("directory"),
      .size = fields.unsignedInteger("size"),
      .modifiedUTC = fields.text("modifiedUTC"),
      .sha256 = fields.optionalText("sha256"),
  };
}

}  // namespace velmorine::transfer
