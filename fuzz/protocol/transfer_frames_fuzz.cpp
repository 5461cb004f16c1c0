// Feeds hostile headers and payloads to every transfer frame parser. Whatever a parser
// accepts must build again and parse back to the same header, so parser and builder can
// never disagree about what the wire admits.
//
// Input: byte 0 picks the frame kind, byte 1 the payload length (taken from the end),
// the rest is the header text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "native/protocol/transfer_control_frames.h"
#include "native/protocol/transfer_data_frames.h"
#include "native/protocol/transfer_frame_dictionary.h"

namespace {

using namespace velmorine;
using namespace velmorine::protocol;

const core::Uuid kSender = *core::Uuid::parse("5f0c4a1e-8b2d-4c3a-9e7f-102030405060");

void require(bool condition) {
  if (!condition) std::abort();
}

// Whether the parser accepted the frame.
template <typename Parse, typename Serialize>
bool round_trip(const Frame& frame, Parse parse, Serialize serialize) {
  const auto header = parse(frame, kSender);
  if (!header) return false;
  const auto rebuilt = serialize(*header);
  require(rebuilt.has_value());
  require(encode_frame(*rebuilt).has_value());
  require(parse(*rebuilt, kSender) == header);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Frame frame;
  frame.type = FrameKind::transfer_offer + data[0] % 11;
  const size_t payload_size = std::min<size_t>(data[1], size - 2);
  frame.header_utf8.assign(reinterpret_cast<const char*>(data + 2), size - 2 - payload_size);
  frame.payload.assign(data + size - payload_size, data + size);

  bool accepted = false;
  switch (frame.type) {
    case FrameKind::transfer_offer:
      accepted = round_trip(frame, parse_transfer_offer, serialize_transfer_offer);
      break;
    case FrameKind::manifest_entry:
      accepted = round_trip(frame, parse_manifest_entry, serialize_manifest_entry);
      break;
    case FrameKind::manifest_end:
      accepted = round_trip(frame, parse_manifest_end, serialize_manifest_end);
      break;
    case FrameKind::transfer_response:
      accepted = round_trip(frame, parse_transfer_response, serialize_transfer_response);
      break;
    case FrameKind::data_hello:
      accepted = round_trip(frame, parse_data_hello, serialize_data_hello);
      break;
    case FrameKind::file_begin:
      accepted = round_trip(frame, parse_file_begin, serialize_file_begin);
      break;
    case FrameKind::file_chunk:
      accepted = round_trip(frame, parse_file_chunk, [&frame](const FileChunkHeader& header) {
        return serialize_file_chunk(header, frame.payload);
      });
      break;
    case FrameKind::file_end:
      accepted = round_trip(frame, parse_file_end, serialize_file_end);
      break;
    case FrameKind::transfer_progress:
      accepted = round_trip(frame, parse_transfer_progress, serialize_transfer_progress);
      break;
    case FrameKind::transfer_complete:
      accepted = round_trip(frame, parse_transfer_complete, serialize_transfer_complete);
      break;
    default:
      accepted = round_trip(frame, parse_transfer_cancel, serialize_transfer_cancel);
      break;
  }
  // The application's reading of the same frame must agree with the parser's verdict.
  require(read_transfer_fields(frame, kSender.to_string()).has_value() == accepted);
  return 0;
}
