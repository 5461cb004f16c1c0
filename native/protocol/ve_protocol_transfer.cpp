#include "native/protocol/transfer_frame_dictionary.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine {

std::optional<VEFrame> VEProtocol::transferFrameWithKind(std::string_view kind,
                                                         std::string_view sender,
                                                         const nlohmann::json& fields,
                                                         std::span<const uint8_t> payload) {
  auto frame = protocol::build_transfer_frame(kind, sender, fields, payload, core::Uuid::random);
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<nlohmann::json> VEProtocol::transferFields(const VEFrame& frame,
                                                         std::string_view sender) {
  return protocol::read_transfer_fields(frame.frame(), sender);
}

}  // namespace velmorine
