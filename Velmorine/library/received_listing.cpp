#include "Velmorine/library/received_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "Velmorine/library/thumbnails.h"
#include "Velmorine/transfer/content_failure.h"

namespace velmorine::library {

namespace {

using transfer::ContentFailure;
using transfer::SourceStamp;
using Case = ContentFailure::Case;

bool validUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t scalar = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xe0) == 0xc0) {
      length = 2;
      scalar = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3;
      scalar = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4;
      scalar = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      scalar = (scalar << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (scalar < kSmallest[length] || scalar > 0x10ffff || (scalar >= 0xd800 && scalar <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::uint64_t sizeOf(const SourceStamp& stamp) {
  return stamp.size < 0 ? 0 : static_cast<std::uint64_t>(stamp.size);
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

ReceivedNode fileNode(const ReceivedAccess& access, const std::vector<std::string>& components) {
  if (components.empty()) throw ContentFailure(Case::invalidPath);
  const platform::UniqueFd fd = access.open(components, false);
  const SourceStamp stamp = SourceStamp::ofDescriptor(fd.get());
  if (!stamp.isRegularFile()) throw ContentFailure(Case::unsupportedNode);
  return ReceivedNode{components.back(), components, false, sizeOf(stamp), stamp};
}

ReceivedPage list(const ReceivedAccess& access, const std::vector<std::string>& components,
                  std::int64_t offset, std::int64_t limit) {
  if (offset < 0 || limit < 1 || limit > 1000) throw ContentFailure(Case::entryLimit);
  platform::UniqueFd fd = access.open(components, true);
  std::unique_ptr<DIR, DirectoryCloser> directory(::fdopendir(fd.get()));
  if (!directory) throw ContentFailure(Case::io, errno);
  // The stream owns the descriptor from here.
  const int folder = fd.release();

  ReceivedPage page;
  std::int64_t counted = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory.get());
    if (entry == nullptr) {
      if (errno != 0) throw ContentFailure(Case::io, errno);
      return page;
    }
    const std::string_view name(entry->d_name);
    if (!validUtf8(name)) throw ContentFailure(Case::invalidPath);
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      throw ContentFailure(Case::changed, errno);
    }
    if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) continue;
    if (counted++ < offset) continue;
    if (static_cast<std::int64_t>(page.nodes.size()) == limit) {
      page.hasMore = true;
      return page;
    }
    const SourceStamp stamp = SourceStamp::of(status);
    ReceivedNode node{std::string(name), components, stamp.isDirectory(), sizeOf(stamp), stamp};
    node.components.push_back(node.name);
    page.nodes.push_back(std::move(node));
  }
}

std::vector<std::uint8_t> readFile(const ReceivedAccess& access, const ReceivedNode& node,
                                   std::uint64_t maxBytes) {
  if (node.directory || node.size > maxBytes) throw ContentFailure(Case::sizeLimit);
  const platform::UniqueFd fd = access.open(node.components, false);
  const SourceStamp before = SourceStamp::ofDescriptor(fd.get());
  if (before != node.stamp || !before.isRegularFile()) throw ContentFailure(Case::changed);
  std::vector<std::uint8_t> bytes(node.size);
  readAllBytes(fd.get(), bytes);
  if (SourceStamp::ofDescriptor(fd.get()) != node.stamp) throw ContentFailure(Case::changed);
  return bytes;
}

}  // namespace velmorine::library
