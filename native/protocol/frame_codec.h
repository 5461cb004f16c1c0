#pragma once

// Frames on the encrypted byte stream: an 8-byte big-endian prefix (header length, payload
// length), the JSON header and an optional binary payload. The decoder is incremental: it
// takes the plaintext of secure records as they come and returns whole frames.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/protocol/json_text.h"

namespace velmorine::protocol {

inline constexpr size_t kFramePrefixSize = 8;
inline constexpr uint32_t kMaxFrameHeaderLength = 65536;
inline constexpr uint32_t kMaxFramePayloadLength = 1048576;
inline constexpr size_t kMaxHeaderDepth = 32;

// The kind of a frame, found from its header's "type" name.
struct FrameKind {
  enum : int32_t {
    hello = 0,
    chat = 1,
    chat_ack = 2,
    transfer_offer = 3,
    manifest_entry = 4,
    manifest_end = 5,
    transfer_response = 6,
    data_hello = 7,
    file_begin = 8,
    file_chunk = 9,
    file_end = 10,
    transfer_progress = 11,
    transfer_complete = 12,
    cancel = 13,
    error = 14,
    ping = 15,
    pong = 16,
    other = 17,  // any other name; the reminder route travels as this kind
  };
};

struct Frame {
  int32_t type = FrameKind::other;
  std::string header_utf8;
  std::vector<uint8_t> payload;
};

struct DecodeError {
  enum : int32_t {
    none = 0,
    empty_header = 1,
    header_too_long = 2,
    payload_too_long = 3,
    not_a_frame = 4,
    truncated = 5,  // the stream ended inside a frame
  };
};

// The kind of a type name; `FrameKind::other` for a name not in the table.
int32_t frame_type_from_name(std::string_view name);

// The type name of a kind 0 to 16; empty for any other value.
std::string_view frame_type_name(int32_t kind);

struct FrameHeaderCheck {
  int32_t kind = FrameKind::other;
  bool found = false;  // false: the text is not a frame header
};

// Strict check that a header is one JSON object of unique keys, at most 32 levels deep, with a
// top-level string member "type" written without escapes.
FrameHeaderCheck frame_type_of_header(std::string_view header);

// The working buffers of the header check. A decoder keeps one so that header after header is
// checked without allocating them anew.
struct FrameHeaderScratch {
  std::vector<JsonToken> tokens;
  std::vector<uint32_t> depth;
  // Keys of every object at any depth, as (object, raw key), to find repeats.
  std::vector<std::pair<int32_t, std::string_view>> keys;
};

// The same check with the caller's buffers.
FrameHeaderCheck frame_type_of_header(std::string_view header, FrameHeaderScratch& scratch);

// Prefix, header and payload; nothing when a length is out of range or the header fails the
// frame header check. The frame's `type` is not compared with the header.
std::optional<std::vector<uint8_t>> encode_frame(const Frame& frame);

// Just the 8-byte prefix of `encode_frame`, under the same checks, for senders that pass the
// header and payload on where they lie instead of copying them behind it.
std::optional<std::array<uint8_t, kFramePrefixSize>> encode_frame_prefix(const Frame& frame);

struct DecodeResult {
  std::vector<Frame> frames;  // completed frames in stream order, also when `error` is set
  int32_t error = DecodeError::none;
};

class FrameDecoder {
 public:
  FrameDecoder() = default;

  DecodeResult feed(std::span<const uint8_t> bytes);

  // 0 when nothing of a frame is buffered; otherwise the sticky error (5 if none was set).
  int32_t finish();

  void reset();
  // Drops the frame in progress and keeps the sticky error.
  void reset_current();

 private:
  // Sets the sticky error and returns it.
  int32_t fail(int32_t error);

  std::array<uint8_t, kFramePrefixSize> prefix_{};
  uint64_t prefix_size_ = 0;
  uint32_t header_length_ = 0;
  uint32_t payload_length_ = 0;
  std::string header_;
  uint64_t header_size_ = 0;
  std::vector<uint8_t> payload_;
  uint64_t payload_size_ = 0;
  int32_t current_type_ = FrameKind::other;
  int32_t error_ = DecodeError::none;
  FrameHeaderScratch header_scratch_;
};

}  // namespace velmorine::protocol
