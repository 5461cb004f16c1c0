#pragma once

// A fresh folder on a file system that receives accept. The system's temporary folder is used
// when its file system is on the allow-list; otherwise (an overlay file system in a container,
// say) the test process moves into a mount namespace of its own and mounts a tmpfs there, which
// needs root. Each test runs in its own process under CTest, so the namespace ends with it.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files/unique_fd.h"
#include "platform/volume/volume.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::testing {

class ReceiveFolder {
 public:
  ReceiveFolder() {
    if (onAllowedFileSystem()) return;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, "size=512m,mode=0700") != 0) {
      why_ = std::string(
                 "the temporary folder's file system takes no receives, and a tmpfs in a "
                 "private mount namespace needs root (CAP_SYS_ADMIN): ") +
             std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  // The tmpfs goes first, so that the temporary folder beneath it can be removed.
  ~ReceiveFolder() {
    if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
  }
  ReceiveFolder(const ReceiveFolder&) = delete;
  ReceiveFolder& operator=(const ReceiveFolder&) = delete;

  bool usable() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  const std::filesystem::path& path() const { return folder_.path(); }
  std::filesystem::path operator/(const std::filesystem::path& name) const {
    return folder_ / name;
  }

 private:
  bool onAllowedFileSystem() const {
    platform::UniqueFd fd(::open(folder_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && platform::volume_status(fd.get()).supported;
  }

  TemporaryFolder folder_;
  std::string why_;
  bool mounted_ = false;
};

}  // namespace velmorine::testing
