#pragma once

// What the received-files browser and the transfer rows do inside one container: find a file,
// list a folder a page at a time, and read a file only while it is still the one listed. All of
// it goes through the container's descriptor and never follows a link; all of it blocks and runs
// on a worker queue.

#include <cstdint>
#include <vector>

#include "Velmorine/transfer/received_access.h"

namespace velmorine::library {

using transfer::ReceivedAccess;
using transfer::ReceivedNode;

struct ReceivedPage {
  std::vector<ReceivedNode> nodes;
  bool hasMore = false;  // at least one further listable entry follows
};

// The node of the regular file at `components`. Throws ContentFailure invalidPath (no
// components, or a refused one), unsupportedNode (not a regular file) or access.
ReceivedNode fileNode(const ReceivedAccess& access, const std::vector<std::string>& components);

// One page of the folder at `components`: folders and regular files only, in the order the file
// system yields them, `offset` of them skipped. Throws ContentFailure entryLimit (negative
// offset, limit outside 1…1000), access, invalidPath (also a name that is not UTF-8), changed
// (an entry whose status cannot be read) or io.
ReceivedPage list(const ReceivedAccess& access, const std::vector<std::string>& components,
                  std::int64_t offset, std::int64_t limit);

// The bytes of a listed file, when its stamp is still the listed one before and after the read.
// Throws ContentFailure sizeLimit (a folder, or larger than `maxBytes`), changed, access or
// invalidPath.
std::vector<std::uint8_t> readFile(const ReceivedAccess& access, const ReceivedNode& node,
                                   std::uint64_t maxBytes);

}  // namespace velmorine::library
