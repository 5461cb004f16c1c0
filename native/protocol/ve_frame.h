#pragma once

// The application's view of frames: `VEFrame` holds one decoded or built frame, and
// `VEFrameDecoder` turns a connection's received plaintext into them.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "native/protocol/frame_codec.h"
#include "native/protocol/ve_error.h"

namespace velmorine {

// Error code of `VEFrameDecoder::feed` for a chunk longer than `VEFrameDecoder::kMaxChunk`;
// the other codes are the decoder's (`protocol::DecodeError`).
inline constexpr int64_t kVEChunkTooLong = -1;

// The error domain of the wire core's bridge classes.
std::string ve_protocol_error_domain();

class VEFrame {
 public:
  explicit VEFrame(protocol::Frame&& frame);

  // The type name for kinds 0 to 13, 15 and 16; "OTHER" for ERROR (14) and every other name.
  const std::string& kind() const { return kind_; }
  // Copies of the header bytes and the payload.
  std::vector<uint8_t> header() const;
  std::vector<uint8_t> payload() const;

  // The held frame, for the builders and parsers of the wire core.
  const protocol::Frame& frame() const { return frame_; }

  // The frame on the wire, or nothing when the codec refuses it.
  std::optional<std::vector<uint8_t>> encoded() const;
  // The 8-byte length prefix of `encoded`, under the same checks; with header and payload
  // behind it this is the frame on the wire, without copying them.
  std::optional<std::array<uint8_t, protocol::kFramePrefixSize>> encodedPrefix() const;

 private:
  protocol::Frame frame_;
  std::string kind_;
};

class VEFrameDecoder {
 public:
  // Largest chunk one call accepts: the plaintext of one received record.
  static constexpr size_t kMaxChunk = 65536;

  // The frames completed by this chunk, in order. On a failure the frames completed earlier
  // in the same chunk are dropped; a decoder failure is sticky, a too-long chunk is not.
  std::expected<std::vector<VEFrame>, VEError> feed(std::span<const uint8_t> chunk);

  // Succeeds when the stream ended between frames.
  std::expected<void, VEError> finish();

 private:
  protocol::FrameDecoder decoder_;
};

}  // namespace velmorine
