#pragma once

// PING and PONG, which keep a session alive: {"major":2,"type":"PING","ping_id":N}.

#include <cstdint>
#include <optional>

#include "native/protocol/frame_codec.h"

namespace velmorine::protocol {

inline constexpr size_t kMaxLivenessHeaderLength = 1024;
inline constexpr size_t kLivenessTokenCapacity = 64;

// `kind` is `FrameKind::ping` or `FrameKind::pong`.
std::optional<Frame> build_liveness_frame(int32_t kind, uint64_t ping_id);

// The "ping_id" of a PING or PONG frame.
std::optional<uint64_t> read_liveness_id(const Frame& frame);

}  // namespace velmorine::protocol
