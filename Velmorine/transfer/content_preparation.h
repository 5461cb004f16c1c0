#pragma once

// Turns the user's selection of files and folders into a prepared batch: every node enumerated
// within the limits, every file hashed, every name held against the path rules, and every source
// stamped so that a later read notices a change.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/file_coordinator.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/scoped_content_access.h"

namespace velmorine::transfer {

struct PreparationServices {
  ContentAccessFactory access = ScopedContentAccess::start;
  FileCoordinatorFactory coordinator = makeDefaultFileCoordinator;
  // Whether a node is a package folder, which is sent only with the user's consent. Linux has no
  // packages, so by default nothing is one; an error of the query is passed on.
  std::function<bool(const ContentUrl& node)> isPackage;
  // Test-only: runs before each read of a file being hashed, with its entry path and the offset.
  std::function<void(const std::string& path, std::uint64_t offset)> beforeRead;
};

// Prepares the selected URLs, in order, into a batch with a fresh identifier. Throws
// ContentFailure (or passes on an error of the package query); the first failure ends the run,
// and `verificationFailed` hears of a source that changed before `changed` is thrown.
std::shared_ptr<PreparedBatch> prepareBatch(const std::vector<ContentUrl>& urls, bool allowPackages,
                                            ContentCancellation& cancellation,
                                            const PreparationServices& services,
                                            VerificationFailed verificationFailed);

// One positioned read of at most `buffer.size()` bytes, restarted after EINTR; 0 at the end of
// the file. Throws ContentFailure access.
std::size_t readChunk(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer);

// ISO 8601 in UTC with three fractional digits and "Z", as manifests carry modification times.
std::string iso8601Milliseconds(std::int64_t seconds, std::int64_t nanos);

}  // namespace velmorine::transfer
