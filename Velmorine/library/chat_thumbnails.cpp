#include "Velmorine/library/chat_thumbnails.h"

#include <mutex>

#include "Velmorine/workspace/content_attachments.h"

namespace velmorine::library {

namespace {

std::mutex replacementLock;
std::shared_ptr<ChatThumbnails> replacement;

}  // namespace

std::shared_ptr<ChatThumbnails> ChatThumbnails::shared() {
  {
    std::lock_guard guard(replacementLock);
    if (replacement) return replacement;
  }
  // Kept for the life of the process: work items still queued at exit may reach it.
  static const auto* const own = new std::shared_ptr<ChatThumbnails>([] {
    auto made = std::make_shared<ChatThumbnails>();
    made->queue = transfer::makeSerialQueueExecutor("chat-thumbnails");
    made->main = workspace::mainQueueExecutor();
    return made;
  }());
  return *own;
}

void ChatThumbnails::replaceShared(std::shared_ptr<ChatThumbnails> next) {
  std::lock_guard guard(replacementLock);
  replacement = std::move(next);
}

}  // namespace velmorine::library
