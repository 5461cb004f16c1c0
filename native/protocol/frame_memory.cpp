#include "native/protocol/frame_memory.h"

#include <cstddef>

#include "native/protocol/frame_codec.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velmorine::protocol {

bool keep_frame_buffers_on_heap() {
#if defined(__GLIBC__)
  // Above the largest payload with room for the allocator's own header.
  constexpr int kMmapThreshold = 2 * static_cast<int>(kMaxFramePayloadLength);
  // Free memory kept at the top of the heap: a few payload buffers' worth.
  constexpr int kTrimThreshold = 8 * static_cast<int>(kMaxFramePayloadLength);
  return mallopt(M_MMAP_THRESHOLD, kMmapThreshold) == 1 &&
         mallopt(M_TRIM_THRESHOLD, kTrimThreshold) == 1;
#else
  return false;
#endif
}

}  // namespace velmorine::protocol
