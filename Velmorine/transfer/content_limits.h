#pragma once

// The limits of one batch, the same for what is sent and what is received.

#include <cstddef>
#include <cstdint>

namespace velmorine::transfer {

inline constexpr std::int64_t kMaxTopLevelItems = 1024;
inline constexpr std::int64_t kMaxEntries = 4096;
inline constexpr std::size_t kMaxPathBytes = 1024;      // UTF-8 bytes of a whole path
inline constexpr std::size_t kMaxComponentUnits = 240;  // UTF-16 units of one component
inline constexpr std::uint64_t kMaxFileBytes = 1ull << 44;
inline constexpr std::uint64_t kMaxBatchBytes = 1ull << 46;
inline constexpr std::size_t kReadChunkBytes = 0x40000;  // one read while hashing or sending

}  // namespace velmorine::transfer
