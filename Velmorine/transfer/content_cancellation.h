#pragma once

// The cancellation token of one preparation, verification or staging run: the owner cancels
// from its thread, the run checks it on its queue before each step. Cancelling also cancels the
// file coordinator that the run registered, so a read waiting for a provider stops too.

#include <memory>
#include <mutex>

#include "Velmorine/transfer/file_coordinator.h"

namespace velmorine::transfer {

class ContentCancellation {
 public:
  ContentCancellation() = default;
  ContentCancellation(const ContentCancellation&) = delete;
  ContentCancellation& operator=(const ContentCancellation&) = delete;

  // Sets the flag and sends the registered coordinator its cancel request (outside the lock).
  void cancel();
  bool isCancelled() const;
  // Throws ContentFailure cancelled once cancelled.
  void check() const;
  // Puts `coordinator` (or none, clearing the slot) in the slot; when already cancelled, sends
  // the given coordinator its cancel request and throws cancelled.
  void registerCoordinator(std::shared_ptr<FileCoordinator> coordinator);

 private:
  mutable std::mutex lock_;
  bool cancelled_ = false;
  std::shared_ptr<FileCoordinator> coordinator_;
};

}  // namespace velmorine::transfer
