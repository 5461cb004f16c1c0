#include "Velmorine/transfer/background_digest.h"

namespace velmorine::transfer {

BackgroundDigest::~BackgroundDigest() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundDigest::start(std::span<const std::uint8_t> bytes) {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  {
    std::lock_guard guard(mutex_);
    piece_ = bytes;
    busy_ = true;
  }
  changed_.notify_all();
}

void BackgroundDigest::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !busy_; });
}

void BackgroundDigest::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return busy_ || stopping_; });
    if (stopping_) return;
    const auto piece = piece_;
    lock.unlock();
    digest_.update(piece);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace velmorine::transfer
