#include "Velmorine/transfer/content_cancellation.h"

#include <atomic>

#include "Velmorine/transfer/content_failure.h"

namespace velmorine::transfer {

namespace {

class ImmediateCoordinator final : public FileCoordinator {
 public:
  bool coordinateReading(const ContentUrl& url,
                         const std::function<void(const ContentUrl&)>& accessor) override {
    if (!cancelled_.load()) accessor(url);
    return true;
  }
  void cancel() override { cancelled_.store(true); }

 private:
  std::atomic<bool> cancelled_{false};
};

}  // namespace

std::shared_ptr<FileCoordinator> makeDefaultFileCoordinator() {
  return std::make_shared<ImmediateCoordinator>();
}

void ContentCancellation::cancel() {
  std::shared_ptr<FileCoordinator> coordinator;
  {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    coordinator = coordinator_;
  }
  if (coordinator) coordinator->cancel();
}

bool ContentCancellation::isCancelled() const {
  std::lock_guard guard(lock_);
  return cancelled_;
}

void ContentCancellation::check() const {
  if (isCancelled()) throw ContentFailure(ContentFailure::Case::cancelled);
}

void ContentCancellation::registerCoordinator(std::shared_ptr<FileCoordinator> coordinator) {
  bool cancelled = false;
  {
    std::lock_guard guard(lock_);
    coordinator_ = coordinator;
    cancelled = cancelled_;
  }
  if (cancelled && coordinator) {
    coordinator->cancel();
    throw ContentFailure(ContentFailure::Case::cancelled);
  }
}

}  // namespace velmorine::transfer
