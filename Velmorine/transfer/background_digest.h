#pragma once

// A running SHA-256 that can take a piece on a thread of its own while its owner writes the same
// bytes out, so that hashing a received chunk overlaps with copying it into the page cache and
// sending it to the device. Used by one owner at a time; the thread exists from the first
// background piece to the object's end.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "Velmorine/transfer/content_digest.h"

namespace velmorine::transfer {

class BackgroundDigest {
 public:
  BackgroundDigest() = default;
  ~BackgroundDigest();
  BackgroundDigest(const BackgroundDigest&) = delete;
  BackgroundDigest& operator=(const BackgroundDigest&) = delete;

  // These three only while no piece is in flight.
  void reset() { digest_.reset(); }
  void update(std::span<const std::uint8_t> bytes) { digest_.update(bytes); }
  std::string hexOfCopy() const { return digest_.hexOfCopy(); }

  // Starts hashing `bytes`, which must stay alive and unchanged until finish() returns.
  void start(std::span<const std::uint8_t> bytes);
  // Waits until the piece started last is hashed; returns at once when none is in flight.
  void finish();

 private:
  void run();

  ContentDigest digest_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const std::uint8_t> piece_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace velmorine::transfer
