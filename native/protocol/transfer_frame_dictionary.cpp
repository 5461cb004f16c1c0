#include "native/protocol/transfer_frame_dictionary.h"

#include <cmath>
#include <string>

#include "native/protocol/transfer_control_frames.h"
#include "native/protocol/transfer_data_frames.h"

namespace velmorine::protocol {
namespace {

using nlohmann::json;

// Reads the application's values as the bridge defines them: a text that is missing
// or not a string is empty, a number that is missing or not a number is 0.
class FieldReader {
 public:
  explicit FieldReader(const json& fields) : fields_(fields) {}

  // Null and absent differ: callers that care ask this first.
  bool holds(std::string_view key) const { return fields_.contains(key); }

  const json* value(std::string_view key) const {
    const auto it = fields_.find(key);
    return it == fields_.end() ? nullptr : &*it;
  }

  std::string text(std::string_view key) const {
    const json* v = value(key);
    return v && v->is_string() ? v->get<std::string>() : std::string();
  }

  std::optional<std::string> text_if_string(std::string_view key) const {
    const json* v = value(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
  }

  // A negative count or a fraction is no byte quantity: it is refused rather than
  // wrapped or truncated into a different value.
  std::optional<std::uint64_t> number(std::string_view key) const {
    const json* v = value(key);
    if (!v) return 0;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number_unsigned()) return v->get<std::uint64_t>();
    if (v->is_number_integer()) {
      const auto signed_value = v->get<std::int64_t>();
      if (signed_value < 0) return std::nullopt;
      return static_cast<std::uint64_t>(signed_value);
    }
    if (v->is_number_float()) {
      const double d = v->get<double>();
      if (!(d >= 0.0 && d < 18446744073709551616.0) || std::trunc(d) != d) return std::nullopt;
      return static_cast<std::uint64_t>(d);
    }
    return 0;
  }

  // Non-zero numbers (and true) are set.
  bool flag(std::string_view key) const {
    const json* v = value(key);
    if (!v) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_unsigned()) return v->get<std::uint64_t>() != 0;
    if (v->is_number_integer()) return v->get<std::int64_t>() != 0;
    if (v->is_number_float()) return v->get<double>() != 0.0;
    return false;
  }

  std::optional<core::Uuid> identifier(std::string_view key) const {
    return core::Uuid::parse(text(key));
  }

 private:
  const json& fields_;
};

struct Identities {
  core::Uuid frame_id;
  core::Uuid sender;
  core::Uuid transfer_id;
};

template <typename Header>
Header header_with(const Identities& ids) {
  Header header;
  header.major = kTransferWireMajor;
  header.minor = 0;
  header.id = ids.frame_id;
  header.sender = ids.sender;
  header.transfer_id = ids.transfer_id;
  return header;
}

using Builder = std::optional<Frame> (*)(const FieldReader&, const Identities&,
                                         std::span<const std::uint8_t>);

std::optional<Frame> build_offer(const FieldReader& f, const Identities& ids,
                                 std::span<const std::uint8_t>) {
  auto h = header_with<TransferOfferHeader>(ids);
  const auto entries = f.number("entryCount");
  const auto top_level = f.number("topLevelCount");
  const auto total = f.number("totalBytes");
  if (!entries || !top_level || !total) return std::nullopt;
  h.display_name = f.text("name");
  h.entry_count = *entries;
  h.top_level_count = *top_level;
  h.total_bytes = *total;
  return serialize_transfer_offer(h);
}

std::optional<Frame> build_entry(const FieldReader& f, const Identities& ids,
                                 std::span<const std::uint8_t>) {
  auto h = header_with<ManifestEntryHeader>(ids);
  const auto index = f.number("index");
  const auto size = f.number("size");
  if (!index || !size) return std::nullopt;
  h.index = *index;
  h.kind = f.flag("directory") ? ManifestEntryKind::directory : ManifestEntryKind::file;
  h.path = f.text("path");
  h.size = *size;
  h.modified_utc = f.text("modifiedUTC");
  // Only a string is a digest; anything else leaves the entry without one, as a folder needs.
  h.sha256 = f.text_if_string("sha256");
  return serialize_manifest_entry(h);
}

std::optional<Frame> build_end(const FieldReader& f, const Identities& ids,
                               std::span<const std::uint8_t>) {
  auto h = header_with<ManifestEndHeader>(ids);
  const auto entries = f.number("entryCount");
  if (!entries) return std::nullopt;
  h.entry_count = *entries;
  h.manifest_sha256 = f.text("sha256");
  return serialize_manifest_end(h);
}

std::optional<Frame> build_response(const FieldReader& f, const Identities& ids,
                                    std::span<const std::uint8_t>) {
  auto h = header_with<TransferResponseHeader>(ids);
  const auto correlation = f.identifier("correlationID");
  if (!correlation) return std::nullopt;
  h.correlation_id = *correlation;
  h.decision = f.flag("accept") ? TransferDecision::accept : TransferDecision::reject;
  // Any value under the key, null included, puts the member on the wire.
  if (f.holds("token")) h.transfer_token = f.text("token");
  if (f.holds("reason")) h.reason = f.text("reason");
  return serialize_transfer_response(h);
}

std::optional<Frame> build_cancel(const FieldReader& f, const Identities& ids,
                                  std::span<const std::uint8_t>) {
  auto h = header_with<TransferCancelHeader>(ids);
  h.reason = f.text("reason");
  return serialize_transfer_cancel(h);
}

std::optional<Frame> build_data_hello(const FieldReader& f, const Identities& ids,
                                      std::span<const std::uint8_t>) {
  auto h = header_with<DataHelloHeader>(ids);
  const auto recipient = f.identifier("recipient");
  if (!recipient) return std::nullopt;
  h.recipient = *recipient;
  h.control_session_id = f.text("sessionID");
  h.transfer_token = f.text("token");
  return serialize_data_hello(h);
}

std::optional<FileBoundaryHeader> boundary_header(const FieldReader& f, const Identities& ids) {
  auto h = header_with<FileBoundaryHeader>(ids);
  const auto index = f.number("index");
  const auto size = f.number("size");
  if (!index || !size) return std::nullopt;
  h.index = *index;
  h.path = f.text("path");
  h.size = *size;
  h.sha256 = f.text("sha256");
  return h;
}

std::optional<Frame> build_file_begin(const FieldReader& f, const Identities& ids,
                                      std::span<const std::uint8_t>) {
  const auto h = boundary_header(f, ids);
  return h ? serialize_file_begin(*h) : std::nullopt;
}

std::optional<Frame> build_file_end(const FieldReader& f, const Identities& ids,
                                    std::span<const std::uint8_t>) {
  const auto h = boundary_header(f, ids);
  return h ? serialize_file_end(*h) : std::nullopt;
}

std::optional<Frame> build_file_chunk(const FieldReader& f, const Identities& ids,
                                      std::span<const std::uint8_t> payload) {
  auto h = header_with<FileChunkHeader>(ids);
  const auto index = f.number("index");
  const auto offset = f.number("offset");
  if (!index || !offset) return std::nullopt;
  h.index = *index;
  h.offset = *offset;
  h.length = payload.size();
  return serialize_file_chunk(h, payload);
}

std::optional<Frame> build_progress(const FieldReader& f, const Identities& ids,
                                    std::span<const std::uint8_t>) {
  auto h = header_with<TransferProgressHeader>(ids);
  const auto bytes = f.number("bytes");
  if (!bytes) return std::nullopt;
  h.acknowledged_bytes = *bytes;
  return serialize_transfer_progress(h);
}

std::optional<Frame> build_complete(const FieldReader& f, const Identities& ids,
                                    std::span<const std::uint8_t>) {
  auto h = header_with<TransferCompleteHeader>(ids);
  const auto status = f.text_if_string("status");
  const auto bytes = f.number("bytes");
  if (!status || !bytes) return std::nullopt;
  if (*status == "sender_done") {
    h.status = TransferCompleteStatus::sender_done;
  } else if (*status == "receiver_committed") {
    h.status = TransferCompleteStatus::receiver_committed;
  } else {
    return std::nullopt;
  }
  h.acknowledged_bytes = *bytes;
  return serialize_transfer_complete(h);
}

struct KindBuilder {
  std::string_view name;
  Builder build;
};

constexpr KindBuilder kBuilders[] = {
    {"TRANSFER_OFFER", build_offer},
    {"MANIFEST_ENTRY", build_entry},
    {"MANIFEST_END", build_end},
    {"TRANSFER_RESPONSE", build_response},
    {"CANCEL", build_cancel},
    {"DATA_HELLO", build_data_hello},
    {"FILE_BEGIN", build_file_begin},
    {"FILE_END", build_file_end},
    {"FILE_CHUNK", build_file_chunk},
    {"TRANSFER_PROGRESS", build_progress},
    {"TRANSFER_COMPLETE", build_complete},
};

template <typename Header>
json fields_with_ids(const Header& h) {
  return json{{"frameID", h.id.to_string()}, {"transferID", h.transfer_id.to_string()}};
}

json boundary_fields(const FileBoundaryHeader& h) {
  auto out = fields_with_ids(h);
  out["index"] = h.index;
  out["path"] = h.path;
  out["size"] = h.size;
  out["sha256"] = h.sha256;
  return out;
}

std::optional<json> fields_of(const Frame& frame, const core::Uuid& sender) {
  switch (frame.type) {
    case FrameKind::transfer_offer: {
      const auto h = parse_transfer_offer(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["name"] = h->display_name;
      out["entryCount"] = h->entry_count;
      out["topLevelCount"] = h->top_level_count;
      out["totalBytes"] = h->total_bytes;
      return out;
    }
    case FrameKind::manifest_entry: {
      const auto h = parse_manifest_entry(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["index"] = h->index;
      out["directory"] = h->kind == ManifestEntryKind::directory;
      out["path"] = h->path;
      out["size"] = h->size;
      out["modifiedUTC"] = h->modified_utc;
      if (h->sha256) out["sha256"] = *h->sha256;
      return out;
    }
    case FrameKind::manifest_end: {
      const auto h = parse_manifest_end(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["entryCount"] = h->entry_count;
      out["sha256"] = h->manifest_sha256;
      return out;
    }
    case FrameKind::transfer_response: {
      const auto h = parse_transfer_response(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["correlationID"] = h->correlation_id.to_string();
      out["accept"] = h->decision == TransferDecision::accept;
      if (h->transfer_token) out["token"] = *h->transfer_token;
      if (h->reason) out["reason"] = *h->reason;
      return out;
    }
    case FrameKind::cancel: {
      const auto h = parse_transfer_cancel(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["reason"] = h->reason;
      return out;
    }
    case FrameKind::data_hello: {
      const auto h = parse_data_hello(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["recipient"] = h->recipient.to_string();
      out["sessionID"] = h->control_session_id;
      out["token"] = h->transfer_token;
      return out;
    }
    case FrameKind::file_begin: {
      const auto h = parse_file_begin(frame, sender);
      if (!h) return std::nullopt;
      return boundary_fields(*h);
    }
    case FrameKind::file_end: {
      const auto h = parse_file_end(frame, sender);
      if (!h) return std::nullopt;
      return boundary_fields(*h);
    }
    case FrameKind::file_chunk: {
      const auto h = parse_file_chunk(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["index"] = h->index;
      out["offset"] = h->offset;
      out["length"] = h->length;
      return out;
    }
    case FrameKind::transfer_progress: {
      const auto h = parse_transfer_progress(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["bytes"] = h->acknowledged_bytes;
      return out;
    }
    case FrameKind::transfer_complete: {
      const auto h = parse_transfer_complete(frame, sender);
      if (!h) return std::nullopt;
      auto out = fields_with_ids(*h);
      out["status"] =
          h->status == TransferCompleteStatus::sender_done ? "sender_done" : "receiver_committed";
      out["bytes"] = h->acknowledged_bytes;
      return out;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<Frame> build_transfer_frame(std::string_view kind, std::string_view sender,
                                          const json& fields, std::span<const std::uint8_t> payload,
                                          const std::function<core::Uuid()>& make_frame_id) {
  static const json kNoFields = json::object();
  const FieldReader reader(fields.is_object() ? fields : kNoFields);
  const auto sender_id = core::Uuid::parse(sender);
  if (!sender_id) return std::nullopt;
  const auto transfer_id = reader.identifier("transferID");
  if (!transfer_id) return std::nullopt;
  for (const auto& builder : kBuilders) {
    if (builder.name != kind) continue;
    auto frame_id = reader.identifier("frameID");
    if (!frame_id) frame_id = make_frame_id();
    return builder.build(reader, Identities{*frame_id, *sender_id, *transfer_id}, payload);
  }
  return std::nullopt;
}

std::optional<json> read_transfer_fields(const Frame& frame, std::string_view sender) {
  const auto sender_id = core::Uuid::parse(sender);
  if (!sender_id) return std::nullopt;
  return fields_of(frame, *sender_id);
}

}  // namespace velmorine::protocol
