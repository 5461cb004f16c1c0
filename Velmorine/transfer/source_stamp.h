#pragma once

// The file-system identity and state of one open node, from one status call. Sources are
// compared by it between preparation and sending, received files between sealing and commit.

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmorine::transfer {

struct SourceStamp {
  std::uint64_t device = 0;  // dev_t, whole
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::uint16_t mode = 0;  // type and permission bits
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanos = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanos = 0;

  static SourceStamp of(const struct stat& status);
  // fstat of the descriptor; throws ContentFailure access.
  static SourceStamp ofDescriptor(int fd);

  bool isDirectory() const { return S_ISDIR(mode); }
  bool isRegularFile() const { return S_ISREG(mode); }

  friend bool operator==(const SourceStamp&, const SourceStamp&) = default;
};

// The names of the fields in which two stamps differ, in the order "device", "inode", "size",
// "mode", "mtime", "ctime"; empty when they are equal.
std::vector<std::string> differingFields(const SourceStamp& expected, const SourceStamp& actual);

}  // namespace velmorine::transfer
