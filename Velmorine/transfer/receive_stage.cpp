#include "Velmorine/transfer/receive_stage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_paths.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using platform::UniqueFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void pass(const ReceiveCheckpoint& checkpoint, std::string_view point) {
  if (checkpoint) checkpoint(point);
}

}  // namespace

std::string stageNameFor(const core::Uuid& transferID) {
  return ".velmorine-" + transferID.to_string() + ".partial";
}

std::string finalNameFor(const core::Uuid& transferID) {
  return "Velmorine-" + transferID.to_string();
}

bool isFolderWithIdentity(const struct stat& status, std::uint64_t device, std::uint64_t inode) {
  return S_ISDIR(status.st_mode) && static_cast<std::uint64_t>(status.st_dev) == device &&
         static_cast<std::uint64_t>(status.st_ino) == inode;
}

UniqueFd openDirectoryPath(int from, const std::vector<std::string>& components) {
  UniqueFd current(::fcntl(from, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) throw ContentFailure(Case::access, errno);
  for (const auto& component : components) {
    UniqueFd next(::openat(current.get(), component.c_str(), kFolderFlags));
    if (!next.valid()) throw ContentFailure(Case::access, errno);
    current = std::move(next);
  }
  return current;
}

void writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    errno = 0;
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = errno;
      throw ContentFailure(error == ENOSPC ? Case::diskSpace : Case::io, error);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void fsyncOrThrow(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) throw ContentFailure(Case::io, errno);
  }
}

void writeJournalFile(int stage, const store::ReceiveJournal& journal) {
  const std::string text = store::encodeReceiveJournal(journal).dump();
  const UniqueFd file(::openat(stage, kJournalFileName,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) throw ContentFailure(Case::io, errno);
  writeAll(file.get(), {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  fsyncOrThrow(file.get());
}

void removeStageTree(int parent, const std::string& name,
                     std::optional<std::uint64_t> expectedInode,
                     const ReceiveCheckpoint& checkpoint) {
  UniqueFd folder(::openat(parent, name.c_str(), kFolderFlags));
  if (!folder.valid()) {
    if (expectedInode) throw ContentFailure(Case::changed, errno);
    // A file or a symbolic link: its name goes, whatever it points to stays.
    if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
      throw ContentFailure(Case::io, errno);
    }
    pass(checkpoint, "stage.unlinked");
    return;
  }
  const SourceStamp stamp = SourceStamp::ofDescriptor(folder.get());
  if (expectedInode && stamp.inode != *expectedInode) throw ContentFailure(Case::changed);

  UniqueFd listing(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
  if (!listing.valid()) throw ContentFailure(Case::io, errno);
  DIR* stream = ::fdopendir(listing.get());
  if (stream == nullptr) throw ContentFailure(Case::io, errno);
  listing.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
  while (true) {
    errno = 0;
    const dirent* item = ::readdir(stream);
    if (item == nullptr) {
      if (errno != 0) throw ContentFailure(Case::io, errno);
      break;
    }
    const std::string child = item->d_name;
    if (child == "." || child == "..") continue;
    if (!isValidUtf8(child)) throw ContentFailure(Case::invalidPath);
    removeStageTree(folder.get(), child, std::nullopt, checkpoint);
  }

  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !isFolderWithIdentity(status, stamp.device, stamp.inode)) {
    throw ContentFailure(Case::changed);
  }
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) throw ContentFailure(Case::io, errno);
  pass(checkpoint, "stage.unlinked");
}

}  // namespace velmorine::transfer
