#pragma once

// A program driven by JSON lines as a test sees it: commands written to its stdin, every JSON
// line it prints kept in order, and waits that block until a line meets a condition (never a
// sleep for ordering).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmorine::testing {

using Json = nlohmann::json;

inline constexpr std::chrono::seconds kNodeWait{30};

class JsonLineProcess {
 public:
  // Runs `arguments` (the program first, looked up in PATH), its environment that of this
  // process with `environment` ("NAME=value") in front.
  explicit JsonLineProcess(std::vector<std::string> arguments,
                           std::vector<std::string> environment = {})
      : arguments_(std::move(arguments)), environment_(std::move(environment)) {}
  virtual ~JsonLineProcess() { stop(); }
  JsonLineProcess(const JsonLineProcess&) = delete;
  JsonLineProcess& operator=(const JsonLineProcess&) = delete;

  bool launch() {
    // A node that died must fail the test's checks, not end the test through a write to it.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments = arguments_;
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment_;
    for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return false;
    if (::pipe2(output, O_CLOEXEC) != 0) {
      ::close(input[0]);
      ::close(input[1]);
      return false;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      ::dup2(input[0], STDIN_FILENO);
      ::dup2(output[1], STDOUT_FILENO);
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    if (pid_ < 0) {
      ::close(input[1]);
      ::close(output[0]);
      return false;
    }
    stdin_ = input[1];
    reader_ = std::thread([this, fd = output[0]] { readLines(fd); });
    return true;
  }

  pid_t pid() const { return pid_; }

  void send(const Json& command) {
    const std::string line = command.dump() + "\n";
    if (stdin_ >= 0) {
      [[maybe_unused]] const ssize_t written = ::write(stdin_, line.data(), line.size());
    }
  }

  // The number of lines printed so far: a mark to wait for lines after.
  size_t mark() {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }
  std::vector<Json> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  // The index of the first line from `from` on that meets `condition`, waiting for it.
  std::optional<size_t> waitIndex(const std::function<bool(const Json&)>& condition,
                                  size_t from = 0, std::chrono::seconds timeout = kNodeWait) {
    std::unique_lock lock(mutex_);
    size_t next = from;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      for (; next < lines_.size(); ++next) {
        if (condition(lines_[next])) return next;
      }
      if (ended_) return std::nullopt;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next == lines_.size()) {
        return std::nullopt;
      }
    }
  }
  std::optional<Json> waitLine(const std::function<bool(const Json&)>& condition, size_t from = 0,
                               std::chrono::seconds timeout = kNodeWait) {
    const auto index = waitIndex(condition, from, timeout);
    if (!index) return std::nullopt;
    std::lock_guard lock(mutex_);
    return lines_[*index];
  }
  // Sends the process a signal.
  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }
  // Waits for the process to end on its own; its wait status, or none when it did not end in
  // time (it is then left running).
  std::optional<int> waitExit(std::chrono::seconds timeout = kNodeWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = status;
        pid_ = -1;
        reap();
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling, not ordering
    }
    if (pid_ <= 0) return exitStatus_;
    return std::nullopt;
  }

  // Stops the process at once, as a crash would.
  void kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    reap();
  }
  // Ends stdin (the node shuts down and exits); kills it when it takes too long.
  void stop() {
    if (stdin_ >= 0) {
      ::close(stdin_);
      stdin_ = -1;
    }
    if (pid_ > 0) {
      const auto deadline = std::chrono::steady_clock::now() + kNodeWait;
      while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          exitStatus_ = status;
          pid_ = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    kill();
  }
  std::optional<int> exitStatus() const { return exitStatus_; }
  // Stops the node by ending its input and tells whether it shut down and exited with 0: a
  // sanitizer's report in the node ends it otherwise.
  bool stopsCleanly() {
    stop();
    return exitStatus_ && WIFEXITED(*exitStatus_) && WEXITSTATUS(*exitStatus_) == 0;
  }

 protected:
  void reap() {
    if (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, 0) == pid_) exitStatus_ = status;
      pid_ = -1;
    }
    if (stdin_ >= 0) {
      ::close(stdin_);
      stdin_ = -1;
    }
    if (reader_.joinable()) reader_.join();
  }

  void readLines(int fd) {
    std::string pending;
    char buffer[65536];
    while (true) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        Json line = Json::parse(pending.substr(0, newline), nullptr, false);
        pending.erase(0, newline + 1);
        {
          std::lock_guard lock(mutex_);
          lines_.push_back(std::move(line));
        }
        changed_.notify_all();
      }
    }
    ::close(fd);
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
  }

  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> exitStatus_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Json> lines_;
  bool ended_ = false;
};

// Runs a shell command and returns what it printed, or none when it failed.
inline std::optional<std::string> commandOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = ::pclose(pipe);
  if (status != 0) return std::nullopt;
  return output;
}

}  // namespace velmorine::testing
