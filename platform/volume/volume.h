#pragma once

// What the receive side needs to know of the volume under a folder: whether its file system can
// hold a crash-safe receive (local, with an exclusive rename and durable fsync), whether it is
// mounted read-only, how much space is left, and the volume's UUID.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace velmorine::platform {

struct VolumeStatus {
  std::uint64_t type = 0;  // the file system's magic number (statfs f_type)
  bool supported = false;  // on the allow-list of local Linux file systems
  bool read_only = false;  // mounted read-only (statvfs ST_RDONLY)
  // f_bavail × f_frsize: the space an unprivileged user may fill; none when the product does not
  // fit in 64 bits.
  std::optional<std::uint64_t> available_bytes;
};

// ext2/3/4, xfs, btrfs, f2fs and tmpfs. Network, FUSE, FAT-family and pseudo file systems
// (ramfs, procfs, ...) are not: they lack the exclusive rename or a durable fsync.
bool is_supported_file_system(std::uint64_t type);

// The status of the volume under an open descriptor (fstatfs and fstatvfs). Throws
// std::system_error with the failing call's errno.
VolumeStatus volume_status(int fd);

// The file-system UUID of the block device `device` (a st_dev), from the udev link named after it
// in `by_uuid`; none where no link leads to that device (tmpfs, btrfs subvolumes, no udev).
std::optional<std::string> volume_uuid_of_device(
    dev_t device, const std::filesystem::path& by_uuid = "/dev/disk/by-uuid");

// Finds the volume UUID of a device; tests replace the system's lookup.
using VolumeUuidLookup = std::function<std::optional<std::string>(dev_t device)>;
VolumeUuidLookup system_volume_uuid_lookup();

// The volume UUID of the volume that holds the open descriptor `fd`. Throws std::system_error when
// the descriptor cannot be examined.
std::optional<std::string> volume_uuid_of(int fd, const VolumeUuidLookup& lookup);

}  // namespace velmorine::platform
