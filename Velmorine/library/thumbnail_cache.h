#pragma once

// Decoded thumbnails kept in memory so that scrolling a conversation or selecting a file again
// does not decode it again: a least-recently-used cache bounded by the bytes of its images, safe
// to use from several threads at once.

#include <QImage>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace velmorine::library {

class ThumbnailCache {
 public:
  static constexpr std::int64_t kDefaultCapacity = 64LL * 1024 * 1024;

  explicit ThumbnailCache(std::int64_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  ThumbnailCache(const ThumbnailCache&) = delete;
  ThumbnailCache& operator=(const ThumbnailCache&) = delete;

  // A hit becomes the last image to be evicted; a miss changes nothing.
  std::optional<QImage> image(const std::string& key);
  // Replaces the image under `key` and evicts the least recently used until it fits. An image
  // that could never fit (or whose cost cannot be counted) is not kept, and the cache stays as
  // it was, an older image under the same key included.
  void insert(const QImage& image, const std::string& key);

  std::int64_t totalCost() const;
  std::int64_t capacity() const { return capacity_; }
  // Keys from least to most recently used.
  std::deque<std::string> order() const;

  // bytesPerLine × height, or none when that overflows.
  static std::optional<std::int64_t> cost(const QImage& image);

 private:
  mutable std::mutex lock_;
  std::unordered_map<std::string, QImage> images_;
  std::deque<std::string> order_;
  std::int64_t totalCost_ = 0;
  const std::int64_t capacity_;
};

}  // namespace velmorine::library
