#include "native/protocol/ve_frame.h"

#include <utility>

#include "native/product/product_identifier.h"

namespace velmorine {
namespace {

VEError protocol_error(int64_t code) { return VEError{ve_protocol_error_domain(), code, {}}; }

std::string kind_name(int32_t kind) {
  // ERROR has no format of its own, so the application sees it like any unknown name.
  if (kind == protocol::FrameKind::error) return "OTHER";
  const std::string_view name = protocol::frame_type_name(kind);
  return name.empty() ? "OTHER" : std::string(name);
}

}  // namespace

std::string ve_protocol_error_domain() { return product_scoped("protocol"); }

VEFrame::VEFrame(protocol::Frame&& frame)
    : frame_(std::move(frame)), kind_(kind_name(frame_.type)) {}

std::vector<uint8_t> VEFrame::header() const {
  return std::vector<uint8_t>(frame_.header_utf8.begin(), frame_.header_utf8.end());
}

std::vector<uint8_t> VEFrame::payload() const { return frame_.payload; }

std::optional<std::vector<uint8_t>> VEFrame::encoded() const {
  return protocol::encode_frame(frame_);
}

std::optional<std::array<uint8_t, protocol::kFramePrefixSize>> VEFrame::encodedPrefix() const {
  return protocol::encode_frame_prefix(frame_);
}

std::expected<std::vector<VEFrame>, VEError> VEFrameDecoder::feed(std::span<const uint8_t> chunk) {
  if (chunk.size() > kMaxChunk) return std::unexpected(protocol_error(kVEChunkTooLong));
  protocol::DecodeResult result = decoder_.feed(chunk);
  if (result.error != protocol::DecodeError::none) {
    return std::unexpected(protocol_error(result.error));
  }
  std::vector<VEFrame> frames;
  frames.reserve(result.frames.size());
  for (protocol::Frame& frame : result.frames) frames.emplace_back(std::move(frame));
  return frames;
}

std::expected<void, VEError> VEFrameDecoder::finish() {
  const int32_t error = decoder_.finish();
  if (error != protocol::DecodeError::none) return std::unexpected(protocol_error(error));
  return {};
}

}  // namespace velmorine
