#include "Velmorine/shell/legacy_import_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "Velmorine/shell/legacy_import_error.h"
#include "platform/files/durable_file.h"

namespace velmorine::shell::import_files {

namespace {

using platform::throw_errno;
using platform::UniqueFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void invalidSource() {
  throw LegacyMacImportError(LegacyMacImportError::Case::invalidSource);
}

struct stat statAt(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) throw_errno("fstatat");
  return status;
}

ItemIdentity identityFrom(const struct stat& status) { return {status.st_dev, status.st_ino}; }

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_errno("write");
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// copy_file_range where the kernel offers it between the two files; read and write otherwise.
// Both descriptors' offsets move, so the fallback carries on where the kernel stopped.
void copyData(int in, int out) {
  bool kernelCopy = true;
  std::vector<char> buffer;
  while (true) {
    if (kernelCopy) {
      const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (copied > 0) continue;
      if (copied == 0) return;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
        throw_errno("copy_file_range");
      }
      kernelCopy = false;
      buffer.resize(1 << 20);
    }
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    if (got == 0) return;
    writeAll(out, buffer.data(), static_cast<std::size_t>(got));
  }
}

void keepTimes(int fd, const struct stat& status) {
  const timespec times[2] = {status.st_atim, status.st_mtim};
  if (::futimens(fd, times) != 0) throw_errno("futimens");
}

void copyFile(int from, int to, const std::string& name, const struct stat& status) {
  // Non-blocking, so that a pipe put in the file's place meanwhile cannot stall the copy.
  UniqueFd in(
      ::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in.valid()) {
    if (errno == ELOOP) invalidSource();
    throw_errno("openat");
  }
  struct stat opened {};
  if (::fstat(in.get(), &opened) != 0) throw_errno("fstat");
  if (!S_ISREG(opened.st_mode)) invalidSource();
  UniqueFd out(
      ::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) throw_errno("openat");
  copyData(in.get(), out.get());
  if (::fchmod(out.get(), status.st_mode & 0777) != 0) throw_errno("fchmod");
  keepTimes(out.get(), opened);
}

void copyLink(int from, int to, const std::string& name, const struct stat& status) {
  std::string target(static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)) + 1, '\0');
  while (true) {
    const ssize_t length = ::readlinkat(from, name.c_str(), target.data(), target.size());
    if (length < 0) throw_errno("readlinkat");
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      break;
    }
    target.resize(target.size() * 2);  // the link grew since it was measured
  }
  if (::symlinkat(target.c_str(), to, name.c_str()) != 0) throw_errno("symlinkat");
}

}  // namespace

std::filesystem::path standardised(const std::filesystem::path& path) {
  auto normal = std::filesystem::absolute(path).lexically_normal();
  if (!normal.has_filename() && normal != normal.root_path()) normal = normal.parent_path();
  return normal;
}

std::optional<ItemIdentity> identityAt(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw_errno("lstat");
  }
  return identityFrom(status);
}

std::optional<ItemIdentity> identityAt(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw_errno("fstatat");
  }
  return identityFrom(status);
}

ItemIdentity identityOf(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw_errno("fstat");
  return identityFrom(status);
}

bool existsAt(int folder, const std::string& name) { return identityAt(folder, name).has_value(); }

UniqueFd openTreeRoot(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), kFolderFlags));
  if (!fd.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) invalidSource();
    throw_errno("open");
  }
  return fd;
}

UniqueFd openTreeFolder(int folder, const std::string& name) {
  UniqueFd fd(::openat(folder, name.c_str(), kFolderFlags));
  if (!fd.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) invalidSource();
    throw_errno("openat");
  }
  return fd;
}

std::vector<std::string> entryNames(int folder) {
  // The stream takes a descriptor of its own, so the caller's stays open for *at() calls.
  const int own = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (own < 0) throw_errno("fcntl");
  DIR* stream = ::fdopendir(own);
  if (stream == nullptr) {
    const int error = errno;
    ::close(own);
    throw_errno(error, "fdopendir");
  }
  // A duplicate shares the offset: read from the start whoever read the folder before.
  ::rewinddir(stream);
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      const int error = errno;
      ::closedir(stream);
      if (error != 0) throw_errno(error, "readdir");
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
}

void validateTree(int folder) {
  for (const auto& name : entryNames(folder)) {
    const struct stat status = statAt(folder, name);
    if (S_ISDIR(status.st_mode)) {
      const UniqueFd child = openTreeFolder(folder, name);
      validateTree(child.get());
    } else if (!S_ISREG(status.st_mode)) {
      invalidSource();  // a link, pipe, socket or device
    }
  }
}

void copyTree(int from, int to, const ItemIdentity& copyRoot,
              const std::function<void()>& fileCopied) {
  for (const auto& name : entryNames(from)) {
    const struct stat status = statAt(from, name);
    if (S_ISDIR(status.st_mode)) {
      const UniqueFd source = openTreeFolder(from, name);
      const ItemIdentity opened = identityOf(source.get());
      // Replaced since it was looked at, or the copy itself inside the source.
      if (opened != identityFrom(status) || opened == copyRoot) invalidSource();
      if (::mkdirat(to, name.c_str(), 0700) != 0) throw_errno("mkdirat");
      const UniqueFd copy = openTreeFolder(to, name);
      copyTree(source.get(), copy.get(), copyRoot, fileCopied);
      // Its own mode last, so that a folder without write permission still took its entries.
      if (::fchmod(copy.get(), status.st_mode & 0777) != 0) throw_errno("fchmod");
      keepTimes(copy.get(), status);
    } else if (S_ISREG(status.st_mode)) {
      copyFile(from, to, name, status);
      if (fileCopied) fileCopied();
    } else if (S_ISLNK(status.st_mode)) {
      copyLink(from, to, name, status);
    } else {
      invalidSource();
    }
  }
}

void removeTree(int folder, const std::string& name) {
  const struct stat status = statAt(folder, name);
  if (S_ISDIR(status.st_mode)) {
    UniqueFd child(::openat(folder, name.c_str(), kFolderFlags));
    if (!child.valid()) throw_errno("openat");
    // A copied folder may lack write permission for its owner.
    ::fchmod(child.get(), 0700);
    for (const auto& entry : entryNames(child.get())) removeTree(child.get(), entry);
    child.reset();
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) throw_errno("unlinkat");
  } else if (::unlinkat(folder, name.c_str(), 0) != 0) {
    throw_errno("unlinkat");
  }
}

void syncFolder(int folder) {
  while (::fsync(folder) != 0) {
    if (errno != EINTR) throw_errno("fsync");
  }
}

void renameExclusively(int folder, const std::string& from, const std::string& to) {
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) != 0) {
    throw_errno("renameat2");
  }
  syncFolder(folder);
}

std::string freshUpperUuid() {
  std::string text = core::Uuid::random().to_string();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool isUpperUuid(std::string_view text) {
  const auto parsed = core::Uuid::parse(text);
  if (!parsed) return false;
  std::string upper = parsed->to_string();
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper == text;
}

}  // namespace velmorine::shell::import_files
