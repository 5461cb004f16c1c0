#pragma once

// The guards around the folder that received transfers land in: the "Received" folder, and the
// rule for volumes that can hold a crash-safe receive.

#include <cstdint>

#include "Velmorine/transfer/content_url.h"
#include "platform/volume/volume.h"

namespace velmorine::transfer {

// Space that must remain free beyond what a receive needs.
inline constexpr std::uint64_t kReceiveSpaceMargin = 1 << 20;

// Creates (or keeps) the "Received" folder inside the destination and checks its volume with
// nothing needed. Throws ContentFailure access (a destination or "Received" that cannot be
// opened as a folder, a symbolic link included) or a failure of checkVolume.
ContentUrl makeReceivedFolder(const ContentUrl& destination);

// The volume under the open folder `fd` must be on the allow-list (unsupportedVolume), writable
// (access) and have `bytesNeeded` plus 1 MiB available (diskSpace). A failing fstatfs is access.
void checkVolume(int fd, std::uint64_t bytesNeeded);

// The rule itself, over a volume's status.
void checkVolumeStatus(const platform::VolumeStatus& status, std::uint64_t bytesNeeded);

}  // namespace velmorine::transfer
