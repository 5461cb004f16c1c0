#include "platform/files/unique_fd.h"

#include <unistd.h>

namespace velmorine::platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace velmorine::platform
