#pragma once

// Runs a test body on a thread inside a mount namespace of its own (unshare(CLONE_NEWNS), with
// every mount made private), so that the small, read-only or foreign file systems it mounts are
// seen by nothing else and vanish with the thread. Threads and child processes started from the
// body inherit the namespace. Needs CAP_SYS_ADMIN; without it the body is not run and `why` says
// so.

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace velmorine::testing {

inline bool in_private_mounts(const std::function<void()>& body, std::string& why) {
  bool ran = false;
  std::thread runner([&] {
    if (::unshare(CLONE_NEWNS) != 0) {
      why = std::string("needs root (CAP_SYS_ADMIN) for a private mount namespace: ") +
            std::strerror(errno);
      return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why = std::string("cannot make the mounts private: ") + std::strerror(errno);
      return;
    }
    ran = true;
    body();
  });
  runner.join();
  return ran;
}

// Mounts a file system of `type` on the existing folder `where`; false (with `why`) on failure.
inline bool mount_here(const std::string& type, const std::filesystem::path& where,
                       const std::string& options, unsigned long flags, std::string& why) {
  std::filesystem::create_directories(where);
  if (::mount(type.c_str(), where.c_str(), type.c_str(), flags,
              options.empty() ? nullptr : options.c_str()) != 0) {
    why = "cannot mount " + type + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace velmorine::testing
