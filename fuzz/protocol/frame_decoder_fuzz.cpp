// Feeds arbitrary bytes to the frame decoder in chunks whose sizes come from the input, and
// checks that every frame it returns would be accepted by the encoder again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "native/protocol/frame_codec.h"

using namespace velmorine::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, so splits at every offset get explored.
  const size_t chunk = static_cast<size_t>(data[0]) * 37 + 1;
  const std::span<const uint8_t> stream(data + 1, size - 1);
  FrameDecoder decoder;
  for (size_t pos = 0; pos < stream.size(); pos += chunk) {
    const DecodeResult result =
        decoder.feed(stream.subspan(pos, std::min(chunk, stream.size() - pos)));
    for (const Frame& frame : result.frames) {
      const FrameHeaderCheck check = frame_type_of_header(frame.header_utf8);
      if (!check.found || check.kind != frame.type || !encode_frame(frame)) std::abort();
    }
    if (result.error != DecodeError::none) {
      if (decoder.feed(stream.subspan(pos, 0)).error != result.error) std::abort();
      break;
    }
  }
  decoder.finish();
  return 0;
}
