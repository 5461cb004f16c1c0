#pragma once

// One item of a transfer card: its relative path with a folder or file symbol and, for an image
// that can be read, a thumbnail under it. Thumbnails of outgoing items come from the source
// through its bookmark, of incoming items from the received container once the transfer is
// committed; they are decoded on the shared chat-thumbnail queue and kept in its cache.

#include <QPointer>
#include <QWidget>
#include <optional>
#include <string>

#include "Velmorine/library/chat_thumbnails.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "Velmorine/workspace/view_environment.h"

class QLabel;

namespace velmorine::workspace {
class SymbolLabel;
class TextLabel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class TransferItemRow : public QWidget {
  Q_OBJECT

 public:
  TransferItemRow(workspace::ViewEnvironment& environment, transfer::TransferDisplayItem item,
                  const transfer::RuntimeTransfer& transfer,
                  std::optional<store::ReceiveIndexEntry> received, QWidget* parent = nullptr);

  // A later snapshot's values for the same item; a change of eligibility tries the thumbnail
  // again.
  void update(transfer::TransferDisplayItem item, const transfer::RuntimeTransfer& transfer,
              std::optional<store::ReceiveIndexEntry> received);
  void retranslate();

  const transfer::TransferDisplayItem& item() const { return item_; }
  bool canLoadThumbnail() const;
  // The cache key: the transfer, the item's path and its digest.
  std::string thumbnailKey() const;
  const std::optional<QImage>& thumbnail() const { return thumbnail_; }
  bool unavailable() const { return unavailable_; }

  static constexpr QSize kLargestThumbnailFrame{360, 220};

 private:
  struct Source {
    transfer::TransferDisplayItem item;
    bool outgoing = false;
    std::optional<store::ReceiveIndexEntry> received;
  };
  // Runs on the chat-thumbnail queue.
  static QImage thumbnailImage(const Source& source);

  void loadThumbnail();
  void applyThumbnailResult(std::optional<QImage> image);
  void showState();

  workspace::ViewEnvironment& environment_;
  transfer::TransferDisplayItem item_;
  std::string transferID_;
  bool outgoing_ = false;
  transfer::TransferState state_ = transfer::TransferState::queued;
  std::optional<store::ReceiveIndexEntry> received_;
  std::optional<QImage> thumbnail_;
  bool unavailable_ = false;
  bool loadedFor_ = false;

  workspace::SymbolLabel* name_;
  QLabel* image_;
  workspace::TextLabel* unavailableText_;
};

}  // namespace velmorine::library
