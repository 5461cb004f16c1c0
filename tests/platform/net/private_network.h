#pragma once

// Runs a test body on a thread inside a network namespace of its own (unshare(CLONE_NEWNET)),
// so that its interfaces, addresses and datagrams never reach the machine's real network.
// Threads started from the body (a SerialQueue's, a child process's) inherit the namespace.
// Needs CAP_SYS_ADMIN; without it the body is not run and `why` says so.

#include <sched.h>
#include <stdlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace velmorine::testing {

inline bool in_private_network(const std::function<void()>& body, std::string& why) {
  bool ran = false;
  std::thread runner([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      why = std::string("needs root (CAP_SYS_ADMIN) for a private network namespace: ") +
            std::strerror(errno);
      return;
    }
    ran = true;
    body();
  });
  runner.join();
  return ran;
}

// Runs `ip` (iproute2) inside the calling thread's namespace; true on success.
inline bool ip(const std::string& arguments) {
  const std::string command = "ip " + arguments + " >/dev/null 2>&1";
  return system(command.c_str()) == 0;
}

}  // namespace velmorine::testing
