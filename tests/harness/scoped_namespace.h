#pragma once

// Moves the calling thread into a network namespace for a while: a test's main thread runs a
// program's front end as one host of a LAN (tests/Velmorine/runtime/runtime_hosts.h).

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <string>

namespace velmorine::testing {

// Moves the calling thread into namespace `ns` for its lifetime, and back at its end. Threads
// the caller starts meanwhile stay in `ns`.
class ScopedNamespace {
 public:
  explicit ScopedNamespace(const std::string& ns) {
    original_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = original_ >= 0 && fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
  }
  ~ScopedNamespace() {
    if (entered_) (void)::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  ScopedNamespace(const ScopedNamespace&) = delete;
  ScopedNamespace& operator=(const ScopedNamespace&) = delete;

  bool entered() const { return entered_; }

 private:
  int original_ = -1;
  bool entered_ = false;
};

}  // namespace velmorine::testing
