#pragma once

// Coordinated reading of an item that a file provider may have to supply first. Linux has no
// file providers: the default coordinator hands its accessor the very URL it was given, at once.
// Tests put coordinators of their own in its place.

#include <functional>
#include <memory>

#include "Velmorine/transfer/content_url.h"

namespace velmorine::transfer {

class FileCoordinator {
 public:
  virtual ~FileCoordinator() = default;

  // Runs `accessor` with the URL to read, unless the read cannot be coordinated. Returns false
  // when the item cannot be provided; returns true without running `accessor` once cancelled.
  virtual bool coordinateReading(const ContentUrl& url,
                                 const std::function<void(const ContentUrl&)>& accessor) = 0;
  // Stops a coordinated read that waits; may be called from another thread.
  virtual void cancel() = 0;
};

using FileCoordinatorFactory = std::function<std::shared_ptr<FileCoordinator>()>;

std::shared_ptr<FileCoordinator> makeDefaultFileCoordinator();

}  // namespace velmorine::transfer
