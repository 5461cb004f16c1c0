#pragma once

// The frames that negotiate a transfer over the control session: TRANSFER_OFFER,
// MANIFEST_ENTRY, MANIFEST_END, TRANSFER_RESPONSE and CANCEL. Building refuses any
// value the wire does not admit; parsing accepts only what building could produce
// (keys in any order, unknown keys ignored).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "native/protocol/frame_codec.h"
#include "native/protocol/transfer_header_json.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

// The frames admit more entries than a prepared transfer may hold, so the limit of
// preparation can grow without a wire change.
inline constexpr std::uint64_t kMaxTransferEntries = 100000;
inline constexpr std::uint64_t kMaxManifestIndex = kMaxTransferEntries - 1;
inline constexpr std::uint64_t kMaxTopLevelItems = 1024;
inline constexpr std::size_t kMaxDisplayNameBytes = 512;
inline constexpr std::size_t kMaxManifestPathBytes = 1024;
inline constexpr std::size_t kMaxModifiedUtcBytes = 64;
inline constexpr std::size_t kMaxReasonBytes = 1024;
inline constexpr std::uint16_t kTransferWireMajor = 2;

// What every transfer header, control or data, must carry: the wire major, and a frame,
// a sender and a transfer that are not nil.
template <typename Header>
bool has_transfer_identity(const Header& header) {
  return header.major == kTransferWireMajor && !header.id.is_nil() && !header.sender.is_nil() &&
         !header.transfer_id.is_nil();
}

enum class ManifestEntryKind : std::int32_t { file = 0, directory = 1 };
enum class TransferDecision : std::int32_t { accept = 0, reject = 1 };

struct TransferOfferHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::string display_name;
  std::uint64_t entry_count = 0;
  std::uint64_t top_level_count = 0;
  std::uint64_t total_bytes = 0;
  friend bool operator==(const TransferOfferHeader&, const TransferOfferHeader&) = default;
};

struct ManifestEntryHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::uint64_t index = 0;
  ManifestEntryKind kind = ManifestEntryKind::file;
  std::string path;
  std::uint64_t size = 0;
  std::string modified_utc;
  std::optional<std::string> sha256;
  friend bool operator==(const ManifestEntryHeader&, const ManifestEntryHeader&) = default;
};

struct ManifestEndHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::uint64_t entry_count = 0;
  std::string manifest_sha256;
  friend bool operator==(const ManifestEndHeader&, const ManifestEndHeader&) = default;
};

struct TransferResponseHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid correlation_id;  // the id of the TRANSFER_OFFER frame answered
  core::Uuid transfer_id;
  TransferDecision decision = TransferDecision::reject;
  std::optional<std::string> transfer_token;
  std::optional<std::string> reason;
  friend bool operator==(const TransferResponseHeader&, const TransferResponseHeader&) = default;
};

struct TransferCancelHeader {
  std::uint16_t major = kTransferWireMajor;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
  core::Uuid transfer_id;
  std::string reason;
  friend bool operator==(const TransferCancelHeader&, const TransferCancelHeader&) = default;
};

enum class ControlParseError : std::int32_t {
  accepted = 0,
  malformed = 1,        // bad size, not one flat object, or a key that is not plain
  duplicate_key = 2,    // a top-level key occurs twice
  missing_field = 3,    // a required key is missing or its token has the wrong kind
  invalid_value = 4,    // wrong kind or "type", or a value that breaks a rule
  invalid_utf8 = 5,     // the header is not valid UTF-8
  payload_present = 6,  // control frames carry no payload
  unsupported_major = 7,
  wrong_sender = 8,
};

template <typename Header>
using ControlParseResult = std::expected<Header, ControlParseError>;

std::optional<Frame> serialize_transfer_offer(const TransferOfferHeader& header);
std::optional<Frame> serialize_manifest_entry(const ManifestEntryHeader& header);
std::optional<Frame> serialize_manifest_end(const ManifestEndHeader& header);
std::optional<Frame> serialize_transfer_response(const TransferResponseHeader& header);
std::optional<Frame> serialize_transfer_cancel(const TransferCancelHeader& header);

ControlParseResult<TransferOfferHeader> parse_transfer_offer(const Frame& frame,
                                                             const core::Uuid& sender);
ControlParseResult<ManifestEntryHeader> parse_manifest_entry(const Frame& frame,
                                                             const core::Uuid& sender);
ControlParseResult<ManifestEndHeader> parse_manifest_end(const Frame& frame,
                                                         const core::Uuid& sender);
ControlParseResult<TransferResponseHeader> parse_transfer_response(const Frame& frame,
                                                                   const core::Uuid& sender);
ControlParseResult<TransferCancelHeader> parse_transfer_cancel(const Frame& frame,
                                                               const core::Uuid& sender);

// Shared with the data frames.

// Checks the payload, size and encoding of a control header and indexes its members.
ControlParseError index_control_header(const Frame& frame, HeaderFields& fields);

// The four members every transfer header starts with.
struct TransferHeaderCommon {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  core::Uuid id;
  core::Uuid sender;
};

// Reads and checks "major", "minor", "type", "id" and "sender".
ControlParseResult<TransferHeaderCommon> parse_control_common(const HeaderFields& fields,
                                                              std::string_view type_name,
                                                              const core::Uuid& sender);

}  // namespace velmorine::protocol
