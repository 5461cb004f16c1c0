#pragma once

// A program started for a test, with its standard output on a pipe the test reads by lines.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace velmorine::reminders::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    output_ = ends[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) {
      ::close(output_);
      throw std::runtime_error("posix_spawn " + arguments[0]);
    }
  }
  ~ChildProcess() {
    if (pid_ > 0) kill();
    ::close(output_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line it wrote, without its line break; empty once its output ended.
  std::string readLine() {
    std::string line;
    char c;
    while (::read(output_, &c, 1) == 1) {
      if (c == '\n') return line;
      line.push_back(c);
    }
    return line;
  }

  // Kills it with SIGKILL and reaps it; whether SIGKILL is what ended it.
  bool kill() {
    ::kill(pid_, SIGKILL);
    const int status = reap();
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }
  // Waits for it to end; its exit code, or -1 when a signal ended it.
  int wait() {
    const int status = reap();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int output_ = -1;
};

}  // namespace velmorine::reminders::testing
