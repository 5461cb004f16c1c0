#pragma once

// The thumbnails of transfer rows: one cache and one serial queue for the whole process, made on
// first use, so that a card rebuilt with every snapshot finds its images decoded already. Tests
// put their own in place before any row exists.

#include <memory>

#include "Velmorine/library/thumbnail_cache.h"
#include "Velmorine/transfer/attachment_preparation.h"

namespace velmorine::library {

struct ChatThumbnails {
  ThumbnailCache cache;
  std::shared_ptr<transfer::Executor> queue;  // ".chat-thumbnails"
  std::shared_ptr<transfer::Executor> main;   // back to the interface's main queue

  // The process's own, made on first use.
  static std::shared_ptr<ChatThumbnails> shared();
  // Replaces what shared() gives (tests); none returns to the process's own.
  static void replaceShared(std::shared_ptr<ChatThumbnails> replacement);
};

// The longest side of a row's thumbnail, and the largest received file read for one.
inline constexpr int kRowThumbnailPixels = 400;

}  // namespace velmorine::library
