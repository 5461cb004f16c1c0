#include "Velmorine/transfer/source_stamp.h"

#include <cerrno>

#include "Velmorine/transfer/content_failure.h"

namespace velmorine::transfer {

SourceStamp SourceStamp::of(const struct stat& status) {
  return SourceStamp{
      .device = static_cast<std::uint64_t>(status.st_dev),
      .inode = static_cast<std::uint64_t>(status.st_ino),
      .size = static_cast<std::int64_t>(status.st_size),
      .mode = static_cast<std::uint16_t>(status.st_mode),
      .modifiedSeconds = static_cast<std::int64_t>(status.st_mtim.tv_sec),
      .modifiedNanos = static_cast<std::int64_t>(status.st_mtim.tv_nsec),
      .changedSeconds = static_cast<std::int64_t>(status.st_ctim.tv_sec),
      .changedNanos = static_cast<std::int64_t>(status.st_ctim.tv_nsec),
  };
}

SourceStamp SourceStamp::ofDescriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw ContentFailure(ContentFailure::Case::access, errno);
  return of(status);
}

std::vector<std::string> differingFields(const SourceStamp& expected, const SourceStamp& actual) {
  std::vector<std::string> fields;
  if (expected.device != actual.device) fields.emplace_back("device");
  if (expected.inode != actual.inode) fields.emplace_back("inode");
  if (expected.size != actual.size) fields.emplace_back("size");
  if (expected.mode != actual.mode) fields.emplace_back("mode");
  if (expected.modifiedSeconds != actual.modifiedSeconds ||
      expected.modifiedNanos != actual.modifiedNanos) {
    fields.emplace_back("mtime");
  }
  if (expected.changedSeconds != actual.changedSeconds ||
      expected.changedNanos != actual.changedNanos) {
    fields.emplace_back("ctime");
  }
  return fields;
}

}  // namespace velmorine::transfer
