#pragma once

// The application's view of transfer frames: every transfer frame is built from, and
// read back into, a dictionary of named values (a JSON object), so the transfer
// engine never handles the header structures itself.

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string_view>

#include "native/protocol/frame_codec.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

// Builds the frame of the named kind (a transfer type name such as "TRANSFER_OFFER")
// sent by `sender`. The payload is read only for FILE_CHUNK. A missing or unusable
// "frameID" is replaced by make_frame_id(). Nothing when the kind is not a transfer
// frame, an identifier does not parse, or a value breaks a rule of the frame.
std::optional<Frame> build_transfer_frame(std::string_view kind, std::string_view sender,
                                          const nlohmann::json& fields,
                                          std::span<const std::uint8_t> payload,
                                          const std::function<core::Uuid()>& make_frame_id);

// The named values of a transfer frame that must come from `sender`; nothing when
// the frame is not a transfer frame, comes from another device or breaks any rule.
std::optional<nlohmann::json> read_transfer_fields(const Frame& frame, std::string_view sender);

}  // namespace velmorine::protocol
