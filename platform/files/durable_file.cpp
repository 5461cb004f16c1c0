#include "platform/files/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmorine::platform {

void throw_errno(int error, const char* what) {
  throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
}

void throw_errno(const char* what) { throw_errno(errno, what); }

void create_private_folders(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& component : folder) {
    partial /= component;
    if (component == "/" || component.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) continue;
    throw_errno("mkdir");
  }
}

UniqueFd open_folder(const std::filesystem::path& folder) {
  return UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string temporary_name_for(const std::string& name) { return name + ".new"; }

namespace {

void write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_errno("write");
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void fsync_or_throw(int fd, const char* what) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) throw_errno(what);
  }
}

}  // namespace

void replace_file_durably(int folder_fd, const std::string& name,
                          std::span<const std::byte> bytes) {
  const std::string temporary = temporary_name_for(name);
  // The caller holds the folder's lock, so a temporary left by a crash is ours to remove; a fresh
  // exclusive create then refuses anything planted in its place.
  if (::unlinkat(folder_fd, temporary.c_str(), 0) != 0 && errno != ENOENT) throw_errno("unlinkat");
  UniqueFd file(::openat(folder_fd, temporary.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) throw_errno("openat");
  try {
    // The umask may have narrowed the mode; the file is the owner's to read and write.
    if (::fchmod(file.get(), 0600) != 0) throw_errno("fchmod");
    write_all(file.get(), bytes);
    // The content must be on disk before the name points at it, or a power cut can leave an
    // empty document in place of the old one.
    fsync_or_throw(file.get(), "fsync");
    file.reset();
    if (::renameat(folder_fd, temporary.c_str(), folder_fd, name.c_str()) != 0) {
      throw_errno("renameat");
    }
  } catch (...) {
    file.reset();
    ::unlinkat(folder_fd, temporary.c_str(), 0);
    throw;
  }
  fsync_or_throw(folder_fd, "fsync");
}

}  // namespace velmorine::platform
