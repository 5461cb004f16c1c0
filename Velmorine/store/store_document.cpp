#include "Velmorine/store/store_document.h"

#include <algorithm>

#include "Velmorine/store/local_store_error.h"

namespace velmorine::store {

namespace {

// As deep as the platform's own JSON reader goes; the store's records need five levels, and
// unknown keys may hold anything up to this.
constexpr std::size_t kMaximumNesting = 512;

OrderedJson encode(const IdentityMetadata& identity) {
  OrderedJson object = OrderedJson::object();
  object["id"] = identifierText(identity.id);
  object["publicKey"] = bytesText(identity.publicKey);
  return object;
}

IdentityMetadata decodeIdentity(const FieldReader& object) {
  return {object.identifier("id"), object.bytes("publicKey")};
}

OrderedJson encode(const DeviceNamePreferences& naming) {
  OrderedJson object = OrderedJson::object();
  if (naming.customName) object["customName"] = *naming.customName;
  object["fallbackID"] = identifierText(naming.fallbackID);
  object["hintDismissed"] = naming.hintDismissed;
  return object;
}

DeviceNamePreferences decodeDeviceNaming(const FieldReader& object) {
  DeviceNamePreferences naming;
  naming.customName = object.optionalText("customName");
  naming.fallbackID = object.identifier("fallbackID");
  naming.hintDismissed = object.boolean("hintDismissed");
  return naming;
}

OrderedJson encode(const AppPreferences& preferences) {
  OrderedJson object = OrderedJson::object();
  object["language"] = preferences.language;
  object["appearance"] = preferences.appearance;
  object["networkEnabled"] = preferences.networkEnabled;
  object["notificationsEnabled"] = preferences.notificationsEnabled;
  object["displayName"] = preferences.displayName;
  if (preferences.deviceNaming) object["deviceNaming"] = encode(*preferences.deviceNaming);
  if (preferences.destinationBookmark) {
    object["destinationBookmark"] = bytesText(*preferences.destinationBookmark);
  }
  return object;
}

AppPreferences decodePreferences(const FieldReader& object) {
  AppPreferences preferences;
  preferences.language = object.text("language");
  preferences.appearance = object.text("appearance");
  preferences.networkEnabled = object.boolean("networkEnabled");
  preferences.notificationsEnabled = object.boolean("notificationsEnabled");
  preferences.displayName = object.text("displayName");
  if (auto naming = object.optionalObject("deviceNaming")) {
    preferences.deviceNaming = decodeDeviceNaming(*naming);
  }
  preferences.destinationBookmark = object.optionalBytes("destinationBookmark");
  return preferences;
}

OrderedJson encode(const TrustRecord& record) {
  OrderedJson object = OrderedJson::object();
  object["claimedID"] = identifierText(record.claimedID);
  object["publicKey"] = bytesText(record.publicKey);
  object["manuallyVerified"] = record.manuallyVerified;
  object["blocked"] = record.blocked;
  return object;
}

TrustRecord decodeTrustRecord(const FieldReader& object) {
  TrustRecord record;
  record.claimedID = object.identifier("claimedID");
  record.publicKey = object.bytes("publicKey");
  record.manuallyVerified = object.boolean("manuallyVerified");
  record.blocked = object.boolean("blocked");
  return record;
}

OrderedJson encode(const SecurityAudit& entry) {
  OrderedJson object = OrderedJson::object();
  object["id"] = identifierText(entry.id);
  object["date"] = dateValue(entry.date);
  object["contactID"] = identifierText(entry.contactID);
  object["action"] = entry.action;
  return object;
}

SecurityAudit decodeAudit(const FieldReader& object) {
  SecurityAudit entry;
  entry.id = object.identifier("id");
  entry.date = object.date("date");
  entry.contactID = object.identifier("contactID");
  entry.action = object.text("action");
  return entry;
}

OrderedJson encode(const ReceiveIndexEntry& entry) {
  OrderedJson object = OrderedJson::object();
  object["transferID"] = identifierText(entry.transferID);
  object["containerBookmark"] = bytesText(entry.containerBookmark);
  object["committedAt"] = dateValue(entry.committedAt);
  return object;
}

ReceiveIndexEntry decodeReceiveIndexEntry(const FieldReader& object) {
  ReceiveIndexEntry entry;
  entry.transferID = object.identifier("transferID");
  entry.containerBookmark = object.bytes("containerBookmark");
  entry.committedAt = object.date("committedAt");
  return entry;
}

OrderedJson encode(const PendingReceive& pending) {
  OrderedJson object = OrderedJson::object();
  object["journal"] = encodeReceiveJournal(pending.journal);
  object["destinationBookmark"] = bytesText(pending.destinationBookmark);
  return object;
}

PendingReceive decodePendingReceive(const FieldReader& object) {
  PendingReceive pending;
  pending.journal = decodeReceiveJournal(object.object("journal"));
  pending.destinationBookmark = object.bytes("destinationBookmark");
  return pending;
}

template <typename Record, typename Decode>
std::map<std::string, Record> decodeMap(const FieldReader& object, std::string_view key,
                                        Decode decode) {
  std::map<std::string, Record> records;
  const auto reader = object.object(key);
  for (const auto& [name, value] : reader.value().items()) {
    records.emplace(name, decode(readObject(value, reader.pathOf(name))));
  }
  return records;
}

template <typename Record, typename Decode>
std::vector<Record> decodeList(const FieldReader& object, std::string_view key, Decode decode) {
  std::vector<Record> records;
  const auto& array = object.array(key);
  records.reserve(array.size());
  const std::string path = object.pathOf(key);
  for (std::size_t i = 0; i < array.size(); ++i) {
    records.push_back(decode(readObject(array[i], path + "[" + std::to_string(i) + "]")));
  }
  return records;
}

}  // namespace

Json parseStoreJson(std::string_view text) {
  // The nesting is measured on the text first: the parser's own callback for it costs more than
  // the rest of the reading.
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaximumNesting) throw StoreDecodingError("document: nested too deeply");
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& error) {
    throw StoreDecodingError(std::string("document: ") + error.what());
  }
}

StoreHeader decodeStoreHeader(const Json& document) {
  return StoreHeader{FieldReader(document, "").integer("schema")};
}

StoreDocument decodeStoreDocument(const Json& json) {
  const FieldReader object(json, "");
  StoreDocument document;
  document.schema = object.integer("schema");
  if (auto identity = object.optionalObject("identity"))
    document.identity = decodeIdentity(*identity);
  document.preferences = decodePreferences(object.object("preferences"));
  document.trust = decodeMap<TrustRecord>(object, "trust", decodeTrustRecord);
  document.audit = decodeList<SecurityAudit>(object, "audit", decodeAudit);
  document.received = decodeList<ReceiveIndexEntry>(object, "received", decodeReceiveIndexEntry);
  if (object.optionalObject("pendingReceives")) {
    document.pendingReceives =
        decodeMap<PendingReceive>(object, "pendingReceives", decodePendingReceive);
  }
  document.hiddenHistoricalPeers = object.optionalTextSet("hiddenHistoricalPeers");
  return document;
}

StoreDocument readStoreDocument(std::string_view text) {
  const Json json = parseStoreJson(text);
  const StoreHeader header = decodeStoreHeader(json);
  if (header.schema > 1) throw LocalStoreError::newerSchema(header.schema);
  if (header.schema < 1) throw LocalStoreError::corrupt();
  return decodeStoreDocument(json);
}

std::string encodeStoreDocument(const StoreDocument& document) {
  // Maps and lists are joined as text: a JSON object that keeps key order finds keys linearly,
  // which would make a document of a few thousand records quadratic to write.
  std::string text;
  const auto member = [&text](std::string_view key, const OrderedJson& value) {
    text += text.empty() ? '{' : ',';
    text += '"';
    text += key;
    text += "\":";
    text += value.dump();
  };
  const auto map_member = [&text](std::string_view key, const auto& records) {
    text += ",\"";
    text += key;
    text += "\":{";
    bool first = true;
    for (const auto& [name, record] : records) {
      if (!first) text += ',';
      first = false;
      text += OrderedJson(name).dump();
      text += ':';
      text += encode(record).dump();
    }
    text += '}';
  };
  const auto list_member = [&text](std::string_view key, const auto& records) {
    text += ",\"";
    text += key;
    text += "\":[";
    bool first = true;
    for (const auto& record : records) {
      if (!first) text += ',';
      first = false;
      text += encode(record).dump();
    }
    text += ']';
  };
  try {
    member("schema", document.schema);
    if (document.identity) member("identity", encode(*document.identity));
    member("preferences", encode(document.preferences));
    map_member("trust", document.trust);
    list_member("audit", document.audit);
    list_member("received", document.received);
    if (document.pendingReceives) map_member("pendingReceives", *document.pendingReceives);
    if (document.hiddenHistoricalPeers) {
      OrderedJson hidden = OrderedJson::array();
      for (const auto& contact : *document.hiddenHistoricalPeers) hidden.push_back(contact);
      member("hiddenHistoricalPeers", hidden);
    }
  } catch (const OrderedJson::exception& error) {
    throw StoreEncodingError(std::string("document: ") + error.what());
  }
  text += '}';
  return text;
}

bool auditIsAppendOnly(const std::vector<SecurityAudit>& current,
                       const std::vector<SecurityAudit>& updated) {
  if (updated.size() < current.size()) return false;
  return std::equal(current.begin(), current.end(), updated.begin());
}

core::Uuid identifierFromBytes(std::span<const std::uint8_t, 16> bytes) {
  core::Uuid::Bytes value{};
  std::copy(bytes.begin(), bytes.end(), value.begin());
  return core::Uuid(value);
}

}  // namespace velmorine::store
