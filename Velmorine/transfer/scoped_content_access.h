#pragma once

// Holds the access to one granted file or folder for as long as the object lives. On Linux the
// access is the bookmarks layer's no-op, but every holder still pairs its start with a stop, so a
// platform that grants access per item fits without changing the callers.

#include <functional>
#include <memory>

#include "Velmorine/transfer/content_url.h"

namespace velmorine::transfer {

class ScopedContentAccess {
 public:
  using Stop = std::function<void(const ContentUrl&)>;

  // Starts the URL's access through the platform layer.
  static std::unique_ptr<ScopedContentAccess> start(const ContentUrl& url);

  // `scoped`: whether starting the access succeeded; only then is `stop` called on release.
  ScopedContentAccess(ContentUrl url, bool scoped, Stop stop);
  ~ScopedContentAccess();
  ScopedContentAccess(const ScopedContentAccess&) = delete;
  ScopedContentAccess& operator=(const ScopedContentAccess&) = delete;

  const ContentUrl& url() const { return url_; }
  bool scoped() const { return scoped_; }

 private:
  ContentUrl url_;
  bool scoped_;
  Stop stop_;
};

using ContentAccessFactory = std::function<std::unique_ptr<ScopedContentAccess>(const ContentUrl&)>;

}  // namespace velmorine::transfer
