#include "native/protocol/transfer_data_frames.h"

#include <utility>
#include <vector>

#include "native/protocol/json_text.h"
#include "native/protocol/transfer_header_json.h"
#include "native/protocol/transfer_text.h"

namespace velmorine::protocol {
namespace {

using enum DataParseError;

constexpr std::string_view kHelloType = "DATA_HELLO";
constexpr std::string_view kBeginType = "FILE_BEGIN";
constexpr std::string_view kChunkType = "FILE_CHUNK";
constexpr std::string_view kEndType = "FILE_END";
constexpr std::string_view kProgressType = "TRANSFER_PROGRESS";
constexpr std::string_view kCompleteType = "TRANSFER_COMPLETE";

bool valid_length(std::uint64_t length) { return length >= 1 && length <= kMaxChunkLength; }

// The value rules hold alike for what we build and what we accept.
bool valid(const DataHelloHeader& h) {
  return has_transfer_identity(h) && !h.recipient.is_nil() && h.recipient != h.sender &&
         is_hex_digest(h.control_session_id) && is_hex_digest(h.transfer_token);
}

bool valid(const FileBoundaryHeader& h) {
  return has_transfer_identity(h) && valid_data_path(h.path) && is_hex_digest(h.sha256);
}

bool valid(const FileChunkHeader& h) { return has_transfer_identity(h) && valid_length(h.length); }

bool valid(const TransferProgressHeader& h) { return has_transfer_identity(h); }

bool valid(const TransferCompleteHeader& h) {
  return has_transfer_identity(h) && (h.status == TransferCompleteStatus::sender_done ||
                             h.status == TransferCompleteStatus::receiver_committed);
}

std::string_view status_name(TransferCompleteStatus status) {
  return status == TransferCompleteStatus::sender_done ? "sender_done" : "receiver_committed";
}

// The shared start of every data header, which already names the transfer.
HeaderWriter data_header_prefix(std::uint16_t major, std::uint16_t minor,
                                std::string_view type_name, const core::Uuid& id,
                                const core::Uuid& sender, const core::Uuid& transfer_id) {
  auto writer = begin_transfer_header(major, minor, type_name, id, sender);
  writer.identifier("transfer_id", transfer_id);
  return writer;
}

template <typename Header>
HeaderWriter data_header_prefix(const Header& h, std::string_view type_name) {
  return data_header_prefix(h.major, h.minor, type_name, h.id, h.sender, h.transfer_id);
}

std::optional<Frame> make_frame(std::int32_t kind, std::string header,
                                std::vector<std::uint8_t> payload = {}) {
  if (header.size() > kMaxFrameHeaderLength) return std::nullopt;
  Frame frame;
  frame.type = kind;
  frame.header_utf8 = std::move(header);
  frame.payload = std::move(payload);
  return frame;
}

DataParseError index_data_header(const Frame& frame, bool payload_allowed, HeaderFields& fields) {
  if (!payload_allowed && !frame.payload.empty()) return payload_present;
  const std::string_view header = frame.header_utf8;
  if (header.empty() || header.size() > kMaxFrameHeaderLength) return malformed;
  if (!valid_utf8(header)) return invalid_utf8;
  auto scanned = scan_flat_object(header, header.size() + 1);
  if (!scanned) {
    return scanned.error() == FlatScanError::duplicate ? duplicate_key : malformed;
  }
  fields = std::move(*scanned);
  return accepted;
}

struct DataHeaderCommon {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
};

DataParseResult<DataHeaderCommon> parse_data_common(const HeaderFields& fields,
                                                    std::string_view type_name,
                                                    const core::Uuid& sender) {
  const auto major = find_field(fields, "major", FieldKind::number);
  const auto minor = find_field(fields, "minor", FieldKind::number);
  const auto type = find_field(fields, "type", FieldKind::string);
  const auto id = find_field(fields, "id", FieldKind::string);
  const auto from = find_field(fields, "sender", FieldKind::string);
  const auto transfer = find_field(fields, "transfer_id", FieldKind::string);
  if (!major || !minor || !type || !id || !from || !transfer) {
    return std::unexpected(missing_field);
  }
  const auto major_value = parse_decimal_u16(*major);
  const auto minor_value = parse_decimal_u16(*minor);
  const auto id_value = parse_canonical_uuid(*id);
  const auto sender_value = parse_canonical_uuid(*from);
  const auto transfer_value = parse_canonical_uuid(*transfer);
  if (!major_value || !minor_value || *type != type_name || !id_value || !sender_value ||
      !transfer_value) {
    return std::unexpected(invalid_value);
  }
  if (*major_value != kTransferWireMajor) return std::unexpected(unsupported_major);
  if (*sender_value != sender) return std::unexpected(wrong_sender);
  return DataHeaderCommon{*major_value, *minor_value, *id_value, *sender_value, *transfer_value};
}

// Runs the checks every data parser starts with and indexes the header.
DataParseError begin_parse(const Frame& frame, std::int32_t kind, std::string_view type_name,
                           const core::Uuid& sender, bool payload_allowed, HeaderFields& fields,
                           DataHeaderCommon& common) {
  if (frame.type != kind) return invalid_value;
  if (const auto indexed = index_data_header(frame, payload_allowed, fields); indexed != accepted) {
    return indexed;
  }
  auto parsed = parse_data_common(fields, type_name, sender);
  if (!parsed) return parsed.error();
  common = *parsed;
  return accepted;
}

template <typename Header>
void assign_common(Header& header, const DataHeaderCommon& common) {
  header.major = common.major;
  header.minor = common.minor;
  header.id = common.id;
  header.sender = common.sender;
  header.transfer_id = common.transfer_id;
}

template <typename Header>
DataParseResult<Header> checked(Header header) {
  if (!valid(header)) return std::unexpected(invalid_value);
  return header;
}

std::optional<Frame> serialize_file_boundary(const FileBoundaryHeader& h, std::int32_t kind,
                                             std::string_view type_name) {
  if (!valid(h)) return std::nullopt;
  auto writer = data_header_prefix(h, type_name);
  writer.number("index", h.index);
  writer.string("path", h.path);
  writer.decimal_string("size", h.size);
  writer.string("sha256", h.sha256);
  return make_frame(kind, std::move(writer).finish());
}

DataParseResult<FileBoundaryHeader> parse_file_boundary(const Frame& frame,
                                                        const core::Uuid& sender, std::int32_t kind,
                                                        std::string_view type_name) {
  HeaderFields fields;
  DataHeaderCommon common;
  if (const auto e = begin_parse(frame, kind, type_name, sender, false, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto index = find_field(fields, "index", FieldKind::number);
  const auto path = find_field(fields, "path", FieldKind::string);
  const auto size = find_field(fields, "size", FieldKind::string);
  const auto sha256 = find_field(fields, "sha256", FieldKind::string);
  if (!index || !path || !size || !sha256) return std::unexpected(missing_field);
  const auto index_value = parse_decimal_u64(*index);
  const auto size_value = parse_decimal_u64(*size);
  if (!index_value || !size_value) return std::unexpected(invalid_value);
  FileBoundaryHeader header;
  assign_common(header, common);
  header.index = *index_value;
  header.path = std::string(*path);
  header.size = *size_value;
  header.sha256 = std::string(*sha256);
  return checked(std::move(header));
}

}  // namespace

bool valid_data_path(std::string_view path) {
  return !path.empty() && path.size() <= kMaxDataPathBytes && valid_utf8(path) &&
         path.find_first_of(std::string_view("\"\\\0", 3)) == std::string_view::npos;
}

std::optional<Frame> serialize_data_hello(const DataHelloHeader& h) {
  if (!valid(h)) return std::nullopt;
  auto writer = data_header_prefix(h, kHelloType);
  writer.identifier("recipient", h.recipient);
  writer.string("control_session_id", h.control_session_id);
  writer.string("transfer_token", h.transfer_token);
  return make_frame(FrameKind::data_hello, std::move(writer).finish());
}

std::optional<Frame> serialize_file_begin(const FileBoundaryHeader& header) {
  return serialize_file_boundary(header, FrameKind::file_begin, kBeginType);
}

std::optional<Frame> serialize_file_end(const FileBoundaryHeader& header) {
  return serialize_file_boundary(header, FrameKind::file_end, kEndType);
}

std::optional<Frame> serialize_file_chunk(const FileChunkHeader& h,
                                          std::span<const std::uint8_t> payload) {
  if (!valid(h) || h.length != payload.size()) return std::nullopt;
  auto writer = data_header_prefix(h, kChunkType);
  writer.number("index", h.index);
  writer.decimal_string("offset", h.offset);
  writer.number("length", h.length);
  return make_frame(FrameKind::file_chunk, std::move(writer).finish(),
                    std::vector<std::uint8_t>(payload.begin(), payload.end()));
}

std::optional<Frame> serialize_transfer_progress(const TransferProgressHeader& h) {
  if (!valid(h)) return std::nullopt;
  auto writer = data_header_prefix(h, kProgressType);
  writer.decimal_string("acknowledged_bytes", h.acknowledged_bytes);
  return make_frame(FrameKind::transfer_progress, std::move(writer).finish());
}

std::optional<Frame> serialize_transfer_complete(const TransferCompleteHeader& h) {
  if (!valid(h)) return std::nullopt;
  auto writer = data_header_prefix(h, kCompleteType);
  writer.string("status", status_name(h.status));
  writer.decimal_string("acknowledged_bytes", h.acknowledged_bytes);
  return make_frame(FrameKind::transfer_complete, std::move(writer).finish());
}

DataParseResult<DataHelloHeader> parse_data_hello(const Frame& frame, const core::Uuid& sender) {
  HeaderFields fields;
  DataHeaderCommon common;
  if (const auto e =
          begin_parse(frame, FrameKind::data_hello, kHelloType, sender, false, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto recipient = find_field(fields, "recipient", FieldKind::string);
  const auto session = find_field(fields, "control_session_id", FieldKind::string);
  const auto token = find_field(fields, "transfer_token", FieldKind::string);
  if (!recipient || !session || !token) return std::unexpected(missing_field);
  const auto recipient_value = parse_canonical_uuid(*recipient);
  if (!recipient_value) return std::unexpected(invalid_value);
  DataHelloHeader header;
  assign_common(header, common);
  header.recipient = *recipient_value;
  header.control_session_id = std::string(*session);
  header.transfer_token = std::string(*token);
  return checked(std::move(header));
}

DataParseResult<FileBoundaryHeader> parse_file_begin(const Frame& frame, const core::Uuid& sender) {
  return parse_file_boundary(frame, sender, FrameKind::file_begin, kBeginType);
}

DataParseResult<FileBoundaryHeader> parse_file_end(const Frame& frame, const core::Uuid& sender) {
  return parse_file_boundary(frame, sender, FrameKind::file_end, kEndType);
}

DataParseResult<FileChunkHeader> parse_file_chunk(const Frame& frame, const core::Uuid& sender) {
  HeaderFields fields;
  DataHeaderCommon common;
  if (const auto e =
          begin_parse(frame, FrameKind::file_chunk, kChunkType, sender, true, fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto index = find_field(fields, "index", FieldKind::number);
  const auto offset = find_field(fields, "offset", FieldKind::string);
  const auto length = find_field(fields, "length", FieldKind::number);
  if (!index || !offset || !length) return std::unexpected(missing_field);
  const auto index_value = parse_decimal_u64(*index);
  const auto offset_value = parse_decimal_u64(*offset);
  const auto length_value = parse_decimal_u64(*length);
  if (!index_value || !offset_value || !length_value) return std::unexpected(invalid_value);
  FileChunkHeader header;
  assign_common(header, common);
  header.index = *index_value;
  header.offset = *offset_value;
  header.length = *length_value;
  if (!valid(header)) return std::unexpected(invalid_value);
  if (header.length != frame.payload.size()) return std::unexpected(length_mismatch);
  return header;
}

DataParseResult<TransferProgressHeader> parse_transfer_progress(const Frame& frame,
                                                                const core::Uuid& sender) {
  HeaderFields fields;
  DataHeaderCommon common;
  if (const auto e = begin_parse(frame, FrameKind::transfer_progress, kProgressType, sender, false,
                                 fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto bytes = find_field(fields, "acknowledged_bytes", FieldKind::string);
  if (!bytes) return std::unexpected(missing_field);
  const auto bytes_value = parse_decimal_u64(*bytes);
  if (!bytes_value) return std::unexpected(invalid_value);
  TransferProgressHeader header;
  assign_common(header, common);
  header.acknowledged_bytes = *bytes_value;
  return checked(std::move(header));
}

DataParseResult<TransferCompleteHeader> parse_transfer_complete(const Frame& frame,
                                                                const core::Uuid& sender) {
  HeaderFields fields;
  DataHeaderCommon common;
  if (const auto e = begin_parse(frame, FrameKind::transfer_complete, kCompleteType, sender, false,
                                 fields, common);
      e != accepted) {
    return std::unexpected(e);
  }
  const auto status = find_field(fields, "status", FieldKind::string);
  const auto bytes = find_field(fields, "acknowledged_bytes", FieldKind::string);
  if (!status || !bytes) return std::unexpected(missing_field);
  const auto bytes_value = parse_decimal_u64(*bytes);
  if (!bytes_value || (*status != "sender_done" && *status != "receiver_committed")) {
    return std::unexpected(invalid_value);
  }
  TransferCompleteHeader header;
  assign_common(header, common);
  header.status = *status == "sender_done" ? TransferCompleteStatus::sender_done
                                           : TransferCompleteStatus::receiver_committed;
  header.acknowledged_bytes = *bytes_value;
  return checked(std::move(header));
}

}  // namespace velmorine::protocol
