#include "platform/volume/volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace velmorine::platform {

namespace {

// Magic numbers from <linux/magic.h>, spelled out so the allow-list reads as one table.
constexpr std::array<std::uint64_t, 5> kSupportedTypes = {
    0xEF53,      // ext2, ext3 and ext4 share one magic
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0xF2F52010,  // f2fs
    0x01021994,  // tmpfs
};

[[noreturn]] void throw_system(const char* what) {
  throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), what);
}

// A by-uuid name is the UUID text itself; anything else in that folder is not one of ours.
bool looks_like_uuid_text(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

}  // namespace

bool is_supported_file_system(std::uint64_t type) {
  for (std::uint64_t candidate : kSupportedTypes) {
    if (candidate == type) return true;
  }
  return false;
}

VolumeStatus volume_status(int fd) {
  struct statfs fs {};
  while (::fstatfs(fd, &fs) != 0) {
    if (errno != EINTR) throw_system("fstatfs");
  }
  struct statvfs vfs {};
  while (::fstatvfs(fd, &vfs) != 0) {
    if (errno != EINTR) throw_system("fstatvfs");
  }
  VolumeStatus status;
  status.type = static_cast<std::uint64_t>(fs.f_type);
  status.supported = is_supported_file_system(status.type);
  status.read_only = (vfs.f_flag & ST_RDONLY) != 0;
  std::uint64_t available = 0;
  if (!__builtin_mul_overflow(static_cast<std::uint64_t>(vfs.f_bavail),
                              static_cast<std::uint64_t>(vfs.f_frsize), &available)) {
    status.available_bytes = available;
  }
  return status;
}

std::optional<std::string> volume_uuid_of_device(dev_t device,
                                                 const std::filesystem::path& by_uuid) {
  DIR* folder = ::opendir(by_uuid.c_str());
  if (folder == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (!looks_like_uuid_text(name)) continue;
    struct stat node {};
    // The link is followed on purpose: it names the device node it describes.
    if (::fstatat(::dirfd(folder), name.c_str(), &node, 0) != 0) continue;
    if (S_ISBLK(node.st_mode) && node.st_rdev == device) {
      found = name;
      break;
    }
  }
  ::closedir(folder);
  return found;
}

VolumeUuidLookup system_volume_uuid_lookup() {
  return [](dev_t device) { return volume_uuid_of_device(device); };
}

std::optional<std::string> volume_uuid_of(int fd, const VolumeUuidLookup& lookup) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw_system("fstat");
  return lookup ? lookup(status.st_dev) : std::nullopt;
}

}  // namespace velmorine::platform
