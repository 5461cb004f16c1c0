#pragma once

// The structural check of a whole manifest: it closes every preparation, and the receiving side
// and the outbox run it on manifests they receive or reload.

#include <cstdint>
#include <vector>

#include "Velmorine/transfer/content_entry.h"

namespace velmorine::transfer {

// Throws ContentFailure: entryLimit (no entry or more than 4096), topLevelLimit (a count outside
// 1 to 1024), the failures of validatePath, invalidManifest (an index out of place, a folder with
// a size or digest, a file without a 64-digit lower-case digest, an entry whose ancestor is no
// folder entry, or a top-level count or total that disagrees with the entries), duplicatePath
// and sizeLimit.
void validateManifest(const std::vector<ContentEntry>& entries, std::int64_t topLevelCount,
                      std::uint64_t totalBytes);

// True for exactly 64 characters of 0-9 and a-f.
bool isDigestText(const std::string& text);

}  // namespace velmorine::transfer
