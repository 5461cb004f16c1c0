#pragma once

// The handle on one received folder (its container): opened once from its bookmark, and below
// it everything is reached by descriptor-relative opens that never follow a link. Listing and
// reading belong to the received-files browser; this is the part every user of a container
// shares.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "Velmorine/transfer/source_stamp.h"
#include "platform/files/unique_fd.h"
#include "platform/volume/volume.h"

namespace velmorine::transfer {

// One listed item of a container.
struct ReceivedNode {
  std::string name;
  std::vector<std::string> components;  // below the container, ending with `name`
  bool directory = false;
  std::uint64_t size = 0;
  SourceStamp stamp;  // when it was listed

  // The components joined with "/".
  std::string id() const;

  friend bool operator==(const ReceivedNode&, const ReceivedNode&) = default;
};

class ReceivedAccess {
 public:
  // Resolves the container's bookmark, starts its access and opens it as a folder without
  // following links. The bookmark layer's errors are passed on; a bookmark that now leads to
  // another item, and a container that cannot be opened, are ContentFailure access.
  explicit ReceivedAccess(
      std::span<const std::uint8_t> bookmark,
      const platform::VolumeUuidLookup& volumeUuid = platform::system_volume_uuid_lookup());
  ReceivedAccess(const ReceivedAccess&) = delete;
  ReceivedAccess& operator=(const ReceivedAccess&) = delete;

  const ContentUrl& url() const { return url_; }
  int root() const { return root_.get(); }
  const SourceStamp& rootStamp() const { return rootStamp_; }

  // Walks down from the container: each component relative to the last, read-only, non-blocking
  // and without following links, every one but the last (and the last when `directory`) as a
  // folder. No components give a new descriptor of the container. Throws ContentFailure
  // invalidPath (an empty, ".", ".." component or one holding "/" or NUL) or access.
  platform::UniqueFd open(const std::vector<std::string>& components, bool directory) const;

  // The URL of a listed node, after checking that the container's path still leads to the
  // container and that the node is still the one listed. Throws changed, access, or a failure of
  // open().
  ContentUrl verifiedURL(const std::optional<ReceivedNode>& node) const;

 private:
  ContentUrl url_;
  std::unique_ptr<ScopedContentAccess> scope_;
  platform::UniqueFd root_;
  SourceStamp rootStamp_;
};

}  // namespace velmorine::transfer
