#pragma once

// The durable attachment outbox's copies of prepared batches: one folder per batch under the
// staging root, named by the batch's lower-case identifier, holding "content-<index>" for each
// file entry and nothing else. A staged copy is the prepared content byte for byte, or it does
// not exist.

#include <functional>
#include <memory>

#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/durable_batch_source.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/scoped_content_access.h"

namespace velmorine::transfer {

struct StagingServices {
  ContentAccessFactory access = ScopedContentAccess::start;
  // Keeps the staging root out of backups; Linux has no such mark, so by default nothing.
  std::function<void(const ContentUrl& stagingRoot)> excludeFromBackup;
  // Named points of a copy ("staging.copied" after each file), where tests stop a run.
  std::function<void(std::string_view point)> checkpoint;
};

// Copies every file of `batch` through its verifying readers. Throws ContentFailure: conflict
// (the batch folder exists, and is left alone), cancelled, the readers' failures, diskSpace or
// io; after the batch folder was made it is removed again before the throw. A failure to create
// the staging root is the platform's error, passed on.
DurableBatchSource stageBatch(const ContentUrl& stagingRoot, PreparedBatch& batch,
                              const ContentCancellation& cancellation,
                              const StagingServices& services = {});

// Turns a persisted source back into a batch after checking every staged file's type, size and
// digest; a mismatch is `changed`, without a verification report. Its readers report through
// logVerificationFailure, or `verificationFailed` when one is given (tests).
std::shared_ptr<PreparedBatch> reopenStagedBatch(const DurableBatchSource& source,
                                                 const ContentUrl& stagingRoot,
                                                 const ContentCancellation& cancellation,
                                                 const StagingServices& services = {},
                                                 VerificationFailed verificationFailed = {});

// Removes a batch folder that holds nothing but "content-<n>" files; a missing folder counts as
// removed. Any other name fails with io and leaves the folder as it was.
void removeStagedBatch(const core::Uuid& id, const ContentUrl& stagingRoot);

}  // namespace velmorine::transfer
