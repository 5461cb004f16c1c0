#pragma once

// Files, special nodes and observations that the content tests build their cases from.

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_digest.h"

namespace velmorine::testing {

inline std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

inline void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline void writeFile(const std::filesystem::path& path, std::string_view text) {
  writeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

inline std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string sha256Of(const std::vector<std::uint8_t>& bytes) {
  transfer::ContentDigest digest;
  digest.update(bytes);
  return digest.hexOfCopy();
}

inline struct stat lstatOf(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) throw std::runtime_error("lstat " + path.string());
  return status;
}

inline bool later(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// File times come from a coarse clock: a change made in the same tick as the stamp would keep
// the stamp's times. Touches a probe until its time is past `path`'s modification and change
// times (polling the clock, no sleep). The probe lies outside the trees under test, whose folder
// times it would otherwise change.
inline void waitForClockPast(const std::filesystem::path& path) {
  const struct stat target = lstatOf(path);
  const auto probe = std::filesystem::temp_directory_path() /
                     ("velmorine-clock-probe-" + std::to_string(::getpid()));
  const timespec latest = later(target.st_mtim, target.st_ctim) ? target.st_mtim : target.st_ctim;
  while (true) {
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ::futimens(fd, nullptr);
    struct stat now {};
    ::fstat(fd, &now);
    ::close(fd);
    if (later(now.st_mtim, latest)) break;
  }
  ::unlink(probe.c_str());
}

// Rewrites a file in place with other bytes of the same size and puts its modification time
// back, so only the change time tells.
inline void rewriteKeepingModificationTime(const std::filesystem::path& path) {
  const struct stat before = lstatOf(path);
  waitForClockPast(path);
  auto bytes = readFile(path);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(~byte);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("pwrite");
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ::futimens(fd, times);
  ::close(fd);
}

// Notices whether anything opens a node: inotify reports every open as it happens.
class OpenWatch {
 public:
  explicit OpenWatch(const std::filesystem::path& path)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_DONT_FOLLOW) < 0) {
      throw std::runtime_error("inotify on " + path.string());
    }
  }
  ~OpenWatch() { ::close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool opened() const {
    alignas(inotify_event) char buffer[4096];
    return ::read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_;
};

// A listening UNIX socket bound at `path`; the descriptor stays open for the test's life.
class BoundSocket {
 public:
  explicit BoundSocket(const std::filesystem::path& path)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (fd_ < 0 || text.size() >= sizeof address.sun_path) throw std::runtime_error("socket");
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("bind " + text);
    }
  }
  ~BoundSocket() { ::close(fd_); }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

 private:
  int fd_;
};

}  // namespace velmorine::testing
