#include "Velmorine/transfer/receive_storage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "Velmorine/transfer/content_failure.h"
#include "platform/files/unique_fd.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using platform::UniqueFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* kReceivedName = "Received";

}  // namespace

void checkVolumeStatus(const platform::VolumeStatus& status, std::uint64_t bytesNeeded) {
  if (!status.supported) throw ContentFailure(Case::unsupportedVolume);
  if (status.read_only) throw ContentFailure(Case::access, EROFS);
  if (!status.available_bytes) throw ContentFailure(Case::diskSpace);
  const std::uint64_t available = *status.available_bytes;
  if (available < bytesNeeded || available - bytesNeeded < kReceiveSpaceMargin) {
    throw ContentFailure(Case::diskSpace);
  }
}

void checkVolume(int fd, std::uint64_t bytesNeeded) {
  platform::VolumeStatus status;
  try {
    status = platform::volume_status(fd);
  } catch (const std::system_error& error) {
    throw ContentFailure(Case::access, error.code().value());
  }
  checkVolumeStatus(status, bytesNeeded);
}

ContentUrl makeReceivedFolder(const ContentUrl& destination) {
  if (!destination.isFile()) throw ContentFailure(Case::access);
  const UniqueFd root(::open(destination.path().c_str(), kFolderFlags));
  if (!root.valid()) throw ContentFailure(Case::access, errno);
  if (::mkdirat(root.get(), kReceivedName, 0700) != 0 && errno != EEXIST) {
    throw ContentFailure(Case::access, errno);
  }
  const UniqueFd received(::openat(root.get(), kReceivedName, kFolderFlags));
  if (!received.valid()) throw ContentFailure(Case::access, errno);
  checkVolume(received.get(), 0);
  return destination.appending(kReceivedName, true);
}

}  // namespace velmorine::transfer
