#pragma once

// Bookmarks without a sandbox: bookmark data is our own record of an item's absolute path and of
// its identity (device, inode and volume UUID), so that resolving it notices an item that was
// moved away or replaced by another of the same name. Linux has no security-scoped access, so
// starting and stopping it do nothing.

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/volume/volume.h"

namespace velmorine::platform {

// Bytes that are not bookmark data this layer wrote.
class BookmarkDataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ResolvedBookmark {
  std::filesystem::path path;
  // The path now leads to another item than the one bookmarked (moved away, or replaced).
  bool stale = false;
  bool read_only = false;
};

// Records the item at the absolute `path` itself (a final symbolic link is not followed). Throws
// std::system_error when the item cannot be examined (EINVAL for a relative path).
std::vector<std::uint8_t> create_bookmark(
    const std::filesystem::path& path, bool read_only,
    const VolumeUuidLookup& volume_uuid = system_volume_uuid_lookup());

// Finds the bookmarked item again. The same volume UUID and inode identify it even when the
// device number changed since (a volume mounted anew); without a recorded UUID the device number
// must match. Throws BookmarkDataError for foreign bytes and std::system_error when the path
// leads nowhere.
ResolvedBookmark resolve_bookmark(
    std::span<const std::uint8_t> data,
    const VolumeUuidLookup& volume_uuid = system_volume_uuid_lookup());

// Always true: there is no sandbox whose access could be refused.
bool start_security_scoped_access(const std::filesystem::path& path);
void stop_security_scoped_access(const std::filesystem::path& path);

}  // namespace velmorine::platform
