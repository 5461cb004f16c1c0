#include "Velmorine/transfer/received_access.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "Velmorine/transfer/content_failure.h"
#include "platform/bookmarks/bookmarks.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using platform::UniqueFd;

constexpr int kNodeFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

ContentUrl resolveContainer(std::span<const std::uint8_t> bookmark,
                            const platform::VolumeUuidLookup& volumeUuid) {
  const platform::ResolvedBookmark resolved = platform::resolve_bookmark(bookmark, volumeUuid);
  if (resolved.stale) throw ContentFailure(Case::access);
  return ContentUrl::file(resolved.path, true);
}

}  // namespace

std::string ReceivedNode::id() const {
  std::string text;
  for (const auto& component : components) {
    if (!text.empty()) text.push_back('/');
    text += component;
  }
  return text;
}

ReceivedAccess::ReceivedAccess(std::span<const std::uint8_t> bookmark,
                               const platform::VolumeUuidLookup& volumeUuid)
    : url_(resolveContainer(bookmark, volumeUuid)) {
  scope_ = ScopedContentAccess::start(url_);
  root_ = UniqueFd(::open(url_.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root_.valid()) throw ContentFailure(Case::access, errno);
  rootStamp_ = SourceStamp::ofDescriptor(root_.get());
}

UniqueFd ReceivedAccess::open(const std::vector<std::string>& components, bool directory) const {
  UniqueFd current(::openat(root_.get(), ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!current.valid()) throw ContentFailure(Case::access, errno);
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::string& component = components[i];
    if (component.empty() || component == "." || component == ".." ||
        component.find('/') != std::string::npos || component.find('\0') != std::string::npos) {
      throw ContentFailure(Case::invalidPath);
    }
    const bool folder = directory || i + 1 < components.size();
    UniqueFd next(
        ::openat(current.get(), component.c_str(), folder ? kNodeFlags | O_DIRECTORY : kNodeFlags));
    if (!next.valid()) throw ContentFailure(Case::access, errno);
    current = std::move(next);
  }
  return current;
}

ContentUrl ReceivedAccess::verifiedURL(const std::optional<ReceivedNode>& node) const {
  struct stat status {};
  if (::lstat(url_.path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      static_cast<std::uint64_t>(status.st_dev) != rootStamp_.device ||
      static_cast<std::uint64_t>(status.st_ino) != rootStamp_.inode) {
    throw ContentFailure(Case::changed);
  }
  if (!node || node->components.empty()) return url_;
  const UniqueFd fd = open(node->components, node->directory);
  if (SourceStamp::ofDescriptor(fd.get()) != node->stamp) throw ContentFailure(Case::changed);
  ContentUrl url = url_;
  for (std::size_t i = 0; i < node->components.size(); ++i) {
    const bool last = i + 1 == node->components.size();
    url = url.appending(node->components[i], !last || node->directory);
  }
  return url;
}

}  // namespace velmorine::transfer
