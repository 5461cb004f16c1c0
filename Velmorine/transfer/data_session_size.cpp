#include "Velmorine/transfer/data_session_size.h"

#include <limits>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"

namespace velmorine::transfer {

namespace {

// Frame prefixes with headers at their largest: a FILE_CHUNK header stays below 256 bytes, a
// FILE_BEGIN or FILE_END below 4096 even with a 1024-byte path written with every byte escaped
// twice over, and the session's own frames below 64 KiB together.
constexpr std::uint64_t kChunkOverhead = 512;
constexpr std::uint64_t kBoundaryFrame = 4096;
constexpr std::uint64_t kSessionFrames = 65536;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return std::numeric_limits<std::uint64_t>::max() - a < b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

std::uint64_t dataSessionBytes(const std::vector<ContentEntry>& entries) {
  std::uint64_t total = kSessionFrames;
  for (const auto& entry : entries) {
    if (entry.directory) continue;
    const std::uint64_t chunks = entry.size / kReadChunkBytes + (entry.size % kReadChunkBytes != 0);
    total = saturatingAdd(total, 2 * kBoundaryFrame);
    total = saturatingAdd(total, chunks > std::numeric_limits<std::uint64_t>::max() / kChunkOverhead
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : chunks * kChunkOverhead);
    total = saturatingAdd(total, entry.size);
  }
  return total;
}

void checkDataSessionSize(const std::vector<ContentEntry>& entries) {
  if (dataSessionBytes(entries) > kMaxDataSessionBytes) {
    throw ContentFailure(ContentFailure::Case::sizeLimit);
  }
}

}  // namespace velmorine::transfer
