#include "Velmorine/transfer/scoped_content_access.h"

#include "platform/bookmarks/bookmarks.h"

namespace velmorine::transfer {

std::unique_ptr<ScopedContentAccess> ScopedContentAccess::start(const ContentUrl& url) {
  const bool scoped = url.isFile() && platform::start_security_scoped_access(url.path());
  return std::make_unique<ScopedContentAccess>(url, scoped, [](const ContentUrl& started) {
    platform::stop_security_scoped_access(started.path());
  });
}

ScopedContentAccess::ScopedContentAccess(ContentUrl url, bool scoped, Stop stop)
    : url_(std::move(url)), scoped_(scoped), stop_(std::move(stop)) {}

ScopedContentAccess::~ScopedContentAccess() {
  if (scoped_ && stop_) stop_(url_);
}

}  // namespace velmorine::transfer
