#pragma once

// The frames that carry one transfer's bytes over its data session: DATA_HELLO,
// FILE_BEGIN, FILE_CHUNK, FILE_END, TRANSFER_PROGRESS and TRANSFER_COMPLETE. Their
// string values are written and read raw, without escapes, so every rule below keeps
// quotation marks and backslashes out of them.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "native/protocol/frame_codec.h"
#include "native/protocol/transfer_control_frames.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

inline constexpr std::size_t kMaxDataPathBytes = 1024;
// One chunk fills at most the largest payload the frame codec admits.
inline constexpr std::uint64_t kMaxChunkLength = kMaxFramePayloadLength;

enum class TransferCompleteStatus : std::int32_t { sender_done = 0, receiver_committed = 1 };

struct DataHelloHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid recipient;  // the device the data session is opened to
  core::Uuid transfer_id;
  std::string control_session_id;
  std::string transfer_token;
  friend bool operator==(const DataHelloHeader&, const DataHelloHeader&) = default;
};

// FILE_BEGIN and FILE_END alike.
struct FileBoundaryHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::uint64_t index = 0;
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
  friend bool operator==(const FileBoundaryHeader&, const FileBoundaryHeader&) = default;
};

// The content bytes travel as the frame's payload.
struct FileChunkHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::uint64_t index = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  friend bool operator==(const FileChunkHeader&, const FileChunkHeader&) = default;
};

struct TransferProgressHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::uint64_t acknowledged_bytes = 0;
  friend bool operator==(const TransferProgressHeader&, const TransferProgressHeader&) = default;
};

struct TransferCompleteHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  TransferCompleteStatus status = TransferCompleteStatus::sender_done;
  std::uint64_t acknowledged_bytes = 0;
  friend bool operator==(const TransferCompleteHeader&, const TransferCompleteHeader&) = default;
};

enum class DataParseError : std::int32_t {
  accepted = 0,
  malformed = 1,        // bad size, not one flat object, or a key that is not plain
  duplicate_key = 2,    // a top-level key occurs twice
  missing_field = 3,    // a required key is missing or its token has the wrong kind
  invalid_value = 4,    // wrong kind or "type", or a value that breaks a rule
  invalid_utf8 = 5,     // the header is not valid UTF-8
  payload_present = 6,  // a payload on a frame other than FILE_CHUNK
  length_mismatch = 7,  // FILE_CHUNK payload size differs from "length"
  unsupported_major = 8,
  wrong_sender = 9,
};

template <typename Header>
using DataParseResult = std::expected<Header, DataParseError>;

std::optional<Frame> serialize_data_hello(const DataHelloHeader& header);
std::optional<Frame> serialize_file_begin(const FileBoundaryHeader& header);
std::optional<Frame> serialize_file_end(const FileBoundaryHeader& header);
// The payload is copied into the frame; header.length must equal its size.
std::optional<Frame> serialize_file_chunk(const FileChunkHeader& header,
                                          std::span<const std::uint8_t> payload);
std::optional<Frame> serialize_transfer_progress(const TransferProgressHeader& header);
std::optional<Frame> serialize_transfer_complete(const TransferCompleteHeader& header);

DataParseResult<DataHelloHeader> parse_data_hello(const Frame& frame, const core::Uuid& sender);
DataParseResult<FileBoundaryHeader> parse_file_begin(const Frame& frame, const core::Uuid& sender);
// The content stays in the frame's payload; it is not copied.
DataParseResult<FileChunkHeader> parse_file_chunk(const Frame& frame, const core::Uuid& sender);
DataParseResult<FileBoundaryHeader> parse_file_end(const Frame& frame, const core::Uuid& sender);
DataParseResult<TransferProgressHeader> parse_transfer_progress(const Frame& frame,
                                                                const core::Uuid& sender);
DataParseResult<TransferCompleteHeader> parse_transfer_complete(const Frame& frame,
                                                                const core::Uuid& sender);

// 1 to 1024 bytes of valid UTF-8 without a quotation mark, a backslash or a NUL: the
// path travels unescaped, and a NUL would end the header's JSON text.
bool valid_data_path(std::string_view path);

}  // namespace velmorine::protocol
