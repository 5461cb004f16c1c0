#pragma once

// How the process's allocator should treat frame payload buffers, set once at start-up.

namespace velmorine::protocol {

// Every completed frame takes its payload buffer with it, so a stream of large frames asks for
// a fresh buffer of up to `kMaxFramePayloadLength` per frame. glibc by default hands such
// sizes out by mmap, or trims them off the heap once freed, so each new buffer faults in page
// by page and decoding runs at about half the speed of a copy. This keeps buffers up to twice
// the largest payload on the heap and leaves a few of them there once freed.
//
// Call once from the program's start-up, before threads start; the benchmarks call it the same
// way. Returns false where the allocator does not take the setting (it is only a speed-up).
bool keep_frame_buffers_on_heap();

}  // namespace velmorine::protocol
