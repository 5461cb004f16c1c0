#include "native/protocol/transfer_control_frames.h"

#include <utility>

#include "native/protocol/json_text.h"
#include "native/protocol/transfer_text.h"

namespace velmorine::protocol {
namespace {

using enum ControlParseError;

constexpr std::string_view kOfferType = "TRANSFER_OFFER";
constexpr std::string_view kEntryType = "MANIFEST_ENTRY";
constexpr std::string_view kEndType = "MANIFEST_END";
constexpr std::string_view kResponseType = "TRANSFER_RESPONSE";
constexpr std::string_view kCancelType = "CANCEL";

bool valid_entry_count(std::uint64_t count) { return count >= 1 && count <= kMaxTransferEntries; }

// The value rules hold alike for what we build and what we accept.
bool valid(const TransferOfferHeader& h) {
  return has_transfer_identity(h) && valid_transfer_text(h.display_name, kMaxDisplayNameBytes, false) &&
         valid_entry_count(h.entry_count) && h.top_level_count >= 1 &&
         h.top_level_count <= kMaxTopLevelItems && h.top_level_count <= h.entry_count;
}

bool valid(const ManifestEntryHeader& h) {
  if (!has_transfer_identity(h) || h.index > kMaxManifestIndex ||
      !valid_transfer_text(h.path, kMaxManifestPathBytes, false) ||
      !valid_transfer_text(h.modified_utc, kMaxModifiedUtcBytes, false)) {
    return false;
  }
  switch (h.kind) {
    case ManifestEntryKind::file:
      return h.sha256 && is_hex_digest(*h.sha256);
    case ManifestEntryKind::directory:
      return h.size == 0 && !h.sha256;
  }
  return false;
}

bool valid(const ManifestEndHeader& h) {
  return has_transfer_identity(h) && valid_entry_count(h.entry_count) && is_hex_digest(h.manifest_sha256);
}

bool valid(const TransferResponseHeader& h) {
  if (!has_transfer_identity(h) || h.correlation_id.is_nil()) return false;
  switch (h.decision) {
    case TransferDecision::accept:
      return h.transfer_token && is_hex_digest(*h.transfer_token) && !h.reason;
    case TransferDecision::reject:
      return !h.transfer_token &&
             (!h.reason || valid_transfer_text(*h.reason, kMaxReasonBytes, true));
  }
  return false;
}

bool valid(const TransferCancelHeader& h) {
  return has_transfer_identity(h) && valid_transfer_text(h.reason, kMaxReasonBytes, true);
}

std::optional<Frame> make_frame(std::int32_t kind, std::string header) {
  if (header.size() > kMaxFrameHeaderLength) return std::nullopt;
  Frame frame;
  frame.type = kind;
  frame.header_utf8 = std::move(header);
  return frame;
}

template <typename Header>
HeaderWriter begin(const Header& h, std::string_view type_name) {
  return begin_transfer_header(h.major, h.minor, type_name, h.id, h.sender);
}

// Runs the checks every control parser starts with and indexes the header.
ControlParseError begin_parse(const Frame& frame, std::int32_t kind, std::string_view type_name,
                              const core::Uuid& sender, HeaderFields& fields,
                              TransferHeaderCommon& common) {
  if (frame.type != kind) return invalid_value;
  if (const auto indexed = index_control_header(frame, fields); indexed != accepted) {
    return indexed;
  }
  auto parsed = parse_control_common(fields, type_name, sender);
  if (!parsed) return parsed.error();
  common = *parsed;
  return accepted;
}

template <typename Header>
void assign_common(Header& header, const TransferHeaderCommon& common) {
  header.major = common.major;
  header.minor = common.minor;
  header.id = common.id;
  header.sender = common.sender;
}

// An optional text counts as present whatever its value: null is refused, not absent.
ControlParseResult<std::optional<std::string>> optional_text(const HeaderFields& fields,
                                                             std::string_view key) {
  if (!has_field(fields, key)) return std::optional<std::string>{};
  const auto raw = find_field(fields, key, FieldKind::string);
  if (!raw) return std::unexpected(invalid_value);
  auto text = unescape_json_string(*raw);
  if (!text) return std::unexpected(invalid_value);
  return std::optional<std::string>(std::move(*text));
}

template <typename Header>
ControlParseResult<Header> checked(Header header) {
  if (!valid(header)) return std::unexpected(invalid_value);
  return header;
}

}  // namespace

ControlParseError index_control_header(const Frame& frame, HeaderFields& fields) {
  if (!frame.payload.empty()) return payload_present;
  const std::string_view header = frame.header_utf8;
  if (header.empty() || header.size() > kMaxFrameHeaderLength) {
    return valid_utf8(header) ? malformed : invalid_utf8;
  }
  if (!valid_utf8(header)) return invalid_utf8;
  auto scanned = scan_flat_object(header, header.size() + 1);
  if (!scanned) {
    return scanned.error() == FlatScanError::duplicate ? duplicate_key : malformed;
  }
  fields = std::move(*scanned);
  return accepted;
}

ControlParseResult<TransferHeaderCommon> parse_control_common(const HeaderFields& fields,
                                                              std::string_view type_name,
                                                              const core::Uuid& sender) {
  const auto major = find_field(fields, "major", FieldKind::number);
  const auto minor = find_field(fields, "minor", FieldKind::number);
  const auto type = find_field(fields, "type", FieldKind::string);
  const auto id = find_field(fields, "id", FieldKind::string);
  const auto from = find_field(fields, "sender", FieldKind::string);
  if (!major || !minor || !type || !id || !from) return std::unexpected(missing_field);
  const auto major_value = parse_decimal_u16(*major);
  const auto minor_value = parse_decimal_u16(*minor);
  const auto id_value = parse_canonical_uuid(*id);
  const auto sender_value = parse_canonical_uuid(*from);
  if (!major_value || !minor_value || *type != type_name || !id_value || !sender_value) {
    return std::unexpected(invalid_value);
  }
  if (*major_value != kTransferWireMajor) return std::unexpected(unsupported_major);
  if (*sender_value != sender) return std::unexpected(wrong_sender);
  return TransferHeaderCommon{*major_value, *minor_value, *id_value, *sender_value};
}

std::optional<Frame> serialize_transfer_offer(const TransferOfferHeader& h) {
  const auto name = escape_json_string(h.display_name);
  if (!name || !valid(h)) return std::nullopt;
  auto writer = begin(h, kOfferType);
  writer.identifier("transfer_id", h.transfer_id);
  writer.string("display_name", *name);
  writer.number("entry_count", h.entry_count);
  writer.number("top_level_count", h.top_level_count);
  writer.decimal_string("total_bytes", h.total_bytes);
  return make_frame(FrameKind::transfer_offer, std::move(writer).finish());
}

std::optional<Frame> serialize_manifest_entry(const ManifestEntryHeader& h) {
  const auto path = escape_json_string(h.path);
  const auto modified = escape_json_string(h.modified_utc);
  if (!path || !modified || !valid(h)) return std::nullopt;
  const bool directory = h.kind == ManifestEntryKind::directory;
  auto writer = begin(h, kEntryType);
  writer.identifier("transfer_id", h.transfer_id);
  writer.number("index", h.index);
  writer.string("kind", directory ? "directory" : "file");
  writer.string("path", *path);
  writer.decimal_string("size", h.size);
  writer.string("modified_utc", *modified);
  if (!directory) writer.string("sha256", *h.sha256);
  return make_frame(FrameKind::manifest_entry, std::move(writer).finish());
}

std::optional<Frame> serialize_manifest_end(const ManifestEndHeader& h) {
  if (!valid(h)) return std::nullopt;
  auto writer = begin(h, kEndType);
  writer.identifier("transfer_id", h.transfer_id);
  writer.number("entry_count", h.entry_count);
  writer.string("manifest_sha256", h.manifest_sha256);
  return make_frame(FrameKind::manifest_end, std::move(writer).finish());
}

std::optional<Frame> serialize_transfer_response(const TransferResponseHeader& h) {
  std::optional<std::string> reason;
  if (h.reason) {
    reason = escape_json_string(*h.reason);
    if (!reason) return std::nullopt;
  }
  if (!valid(h)) return std::nullopt;
  auto writer = begin(h, kResponseType);
  writer.identifier("correlation_id", h.correlation_id);
  writer.identifier("transfer_id", h.transfer_id);
  writer.string("decision", h.decision == TransferDecision::accept ? "accept" : "reject");
  if (h.transfer_token) writer.string("transfer_token", *h.transfer_token);
  if (reason) writer.string("reason", *reason);
  return make_frame(FrameKind::transfer_response, std::move(writer).finish());
}

std::optional<Frame> serialize_transfer_cancel(const TransferCancelHeader& h) {
  const auto reason = escape_json_string(h.reason);
  if (!reason || !valid(h)) return std::nullopt;
  auto writer = begin(h, kCancelType);
  writer.identifier("transfer_id", h.transfer_id);
  writer.string("reason", *reason);
  return make_frame(FrameKind::cancel, std::move(writer).finish());
}

ControlParseResult<TransferOfferHeader> parse_transfer_offer(const Frame& frame,
                                                             const core::Uuid& sender) {
  HeaderFields fields;
  TransferHeaderCommon common;
  if (const auto e =
          begin_parse(frame, FrameKind::transfer_offer, kOfferType, sender, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto transfer_id = find_field(fields, "transfer_id", FieldKind::string);
  const auto name = find_field(fields, "display_name", FieldKind::string);
  const auto entries = find_field(fields, "entry_count", FieldKind::number);
  const auto top_level = find_field(fields, "top_level_count", FieldKind::number);
  const auto total = find_field(fields, "total_bytes", FieldKind::string);
  if (!transfer_id || !name || !entries || !top_level || !total) {
    return std::unexpected(missing_field);
  }
  auto display_name = unescape_json_string(*name);
  if (!display_name) return std::unexpected(missing_field);
  const auto transfer = parse_canonical_uuid(*transfer_id);
  const auto entry_count = parse_decimal_u64(*entries);
  const auto top_level_count = parse_decimal_u64(*top_level);
  const auto total_bytes = parse_decimal_u64(*total);
  if (!transfer || !entry_count || !top_level_count || !total_bytes) {
    return std::unexpected(invalid_value);
  }
  TransferOfferHeader header;
  assign_common(header, common);
  header.transfer_id = *transfer;
  header.display_name = std::move(*display_name);
  header.entry_count = *entry_count;
  header.top_level_count = *top_level_count;
  header.total_bytes = *total_bytes;
  return checked(std::move(header));
}

ControlParseResult<ManifestEntryHeader> parse_manifest_entry(const Frame& frame,
                                                             const core::Uuid& sender) {
  HeaderFields fields;
  TransferHeaderCommon common;
  if (const auto e =
          begin_parse(frame, FrameKind::manifest_entry, kEntryType, sender, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto transfer_id = find_field(fields, "transfer_id", FieldKind::string);
  const auto index = find_field(fields, "index", FieldKind::number);
  const auto kind = find_field(fields, "kind", FieldKind::string);
  const auto path_raw = find_field(fields, "path", FieldKind::string);
  const auto size = find_field(fields, "size", FieldKind::string);
  const auto modified_raw = find_field(fields, "modified_utc", FieldKind::string);
  if (!transfer_id || !index || !kind || !path_raw || !size || !modified_raw) {
    return std::unexpected(missing_field);
  }
  auto path = unescape_json_string(*path_raw);
  auto modified_utc = unescape_json_string(*modified_raw);
  if (!path || !modified_utc) return std::unexpected(missing_field);
  auto sha256 = optional_text(fields, "sha256");
  if (!sha256) return std::unexpected(sha256.error());
  const auto transfer = parse_canonical_uuid(*transfer_id);
  const auto index_value = parse_decimal_u64(*index);
  const auto size_value = parse_decimal_u64(*size);
  if (!transfer || !index_value || !size_value || (*kind != "file" && *kind != "directory")) {
    return std::unexpected(invalid_value);
  }
  ManifestEntryHeader header;
  assign_common(header, common);
  header.transfer_id = *transfer;
  header.index = *index_value;
  header.kind = *kind == "directory" ? ManifestEntryKind::directory : ManifestEntryKind::file;
  header.path = std::move(*path);
  header.size = *size_value;
  header.modified_utc = std::move(*modified_utc);
  header.sha256 = std::move(*sha256);
  return checked(std::move(header));
}

ControlParseResult<ManifestEndHeader> parse_manifest_end(const Frame& frame,
                                                         const core::Uuid& sender) {
  HeaderFields fields;
  TransferHeaderCommon common;
  if (const auto e = begin_parse(frame, FrameKind::manifest_end, kEndType, sender, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto transfer_id = find_field(fields, "transfer_id", FieldKind::string);
  const auto entries = find_field(fields, "entry_count", FieldKind::number);
  const auto digest_raw = find_field(fields, "manifest_sha256", FieldKind::string);
  if (!transfer_id || !entries || !digest_raw) return std::unexpected(missing_field);
  auto digest = unescape_json_string(*digest_raw);
  if (!digest) return std::unexpected(missing_field);
  const auto transfer = parse_canonical_uuid(*transfer_id);
  const auto entry_count = parse_decimal_u64(*entries);
  if (!transfer || !entry_count) return std::unexpected(invalid_value);
  ManifestEndHeader header;
  assign_common(header, common);
  header.transfer_id = *transfer;
  header.entry_count = *entry_count;
  header.manifest_sha256 = std::move(*digest);
  return checked(std::move(header));
}

ControlParseResult<TransferResponseHeader> parse_transfer_response(const Frame& frame,
                                                                   const core::Uuid& sender) {
  HeaderFields fields;
  TransferHeaderCommon common;
  if (const auto e =
          begin_parse(frame, FrameKind::transfer_response, kResponseType, sender, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto correlation_id = find_field(fields, "correlation_id", FieldKind::string);
  const auto transfer_id = find_field(fields, "transfer_id", FieldKind::string);
  const auto decision = find_field(fields, "decision", FieldKind::string);
  if (!correlation_id || !transfer_id || !decision) return std::unexpected(missing_field);
  auto token = optional_text(fields, "transfer_token");
  if (!token) return std::unexpected(token.error());
  auto reason = optional_text(fields, "reason");
  if (!reason) return std::unexpected(reason.error());
  const auto correlation = parse_canonical_uuid(*correlation_id);
  const auto transfer = parse_canonical_uuid(*transfer_id);
  if (!correlation || !transfer || (*decision != "accept" && *decision != "reject")) {
    return std::unexpected(invalid_value);
  }
  TransferResponseHeader header;
  assign_common(header, common);
  header.correlation_id = *correlation;
  header.transfer_id = *transfer;
  header.decision = *decision == "accept" ? TransferDecision::accept : TransferDecision::reject;
  header.transfer_token = std::move(*token);
  header.reason = std::move(*reason);
  return checked(std::move(header));
}

ControlParseResult<TransferCancelHeader> parse_transfer_cancel(const Frame& frame,
                                                               const core::Uuid& sender) {
  HeaderFields fields;
  TransferHeaderCommon common;
  if (const auto e = begin_parse(frame, FrameKind::cancel, kCancelType, sender, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto transfer_id = find_field(fields, "transfer_id", FieldKind::string);
  const auto reason_raw = find_field(fields, "reason", FieldKind::string);
  if (!transfer_id || !reason_raw) return std::unexpected(missing_field);
  auto reason = unescape_json_string(*reason_raw);
  if (!reason) return std::unexpected(missing_field);
  const auto transfer = parse_canonical_uuid(*transfer_id);
  if (!transfer) return std::unexpected(invalid_value);
  TransferCancelHeader header;
  assign_common(header, common);
  header.transfer_id = *transfer;
  header.reason = std::move(*reason);
  return checked(std::move(header));
}

}  // namespace velmorine::protocol
