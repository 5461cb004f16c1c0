#include "Velmorine/library/thumbnail_cache.h"

#include <algorithm>

namespace velmorine::library {

std::optional<std::int64_t> ThumbnailCache::cost(const QImage& image) {
  const std::int64_t perLine = image.bytesPerLine();
  const std::int64_t height = image.height();
  std::int64_t total = 0;
  if (perLine < 0 || height < 0 || __builtin_mul_overflow(perLine, height, &total)) {
    return std::nullopt;
  }
  return total;
}

std::optional<QImage> ThumbnailCache::image(const std::string& key) {
  std::lock_guard guard(lock_);
  const auto found = images_.find(key);
  if (found == images_.end()) return std::nullopt;
  std::erase(order_, key);
  order_.push_back(key);
  return found->second;
}

void ThumbnailCache::insert(const QImage& image, const std::string& key) {
  const auto imageCost = cost(image);
  std::lock_guard guard(lock_);
  if (!imageCost || *imageCost > capacity_) return;
  if (const auto found = images_.find(key); found != images_.end()) {
    totalCost_ -= cost(found->second).value_or(0);
    images_.erase(found);
    std::erase(order_, key);
  }
  while (totalCost_ > capacity_ - *imageCost && !order_.empty()) {
    if (const auto oldest = images_.find(order_.front()); oldest != images_.end()) {
      totalCost_ -= cost(oldest->second).value_or(0);
      images_.erase(oldest);
    }
    order_.pop_front();
  }
  images_.emplace(key, image);
  order_.push_back(key);
  totalCost_ += *imageCost;
}

std::int64_t ThumbnailCache::totalCost() const {
  std::lock_guard guard(lock_);
  return totalCost_;
}

std::deque<std::string> ThumbnailCache::order() const {
  std::lock_guard guard(lock_);
  return order_;
}

}  // namespace velmorine::library
