#pragma once

// The model behind the received-files library: one received container at a time, opened from
// its store entry, listed a folder and a page of 200 entries at a time, with the user's
// selection and a preview of the selected file (a thumbnail for images; for media, text and PDF
// the verified URL, and for text and PDF the bytes the worker read). File work runs on one serial
// worker queue; results come back to the main thread and are applied only while their revision
// is still the current one, so a slow listing or decode never overwrites newer state.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/library/file_kinds.h"
#include "Velmorine/library/received_listing.h"
#include "Velmorine/library/thumbnail_cache.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/attachment_preparation.h"

namespace velmorine::library {

class ReceivedBrowser : public QObject {
  Q_OBJECT

 public:
  static constexpr std::int64_t kPageSize = 200;
  static constexpr std::uint64_t kQuickLookLimit = 16ULL * 1024 * 1024;

  struct Queues {
    std::shared_ptr<transfer::Executor> worker;  // none: ".received-browser"
    std::shared_ptr<transfer::Executor> main;    // none: the interface's main queue
  };

  explicit ReceivedBrowser(Queues queues = {}, QObject* parent = nullptr);
  ~ReceivedBrowser() override;

  // Published state; `changed` follows every change.
  const std::vector<ReceivedNode>& nodes() const { return nodes_; }
  const std::vector<std::string>& path() const { return path_; }
  std::int64_t offset() const { return offset_; }
  bool hasMore() const { return hasMore_; }
  bool busy() const { return busy_; }
  const std::optional<std::string>& error() const { return error_; }
  void setError(std::optional<std::string> key);
  const std::optional<std::string>& selected() const { return selected_; }
  // The library view writes the selection; the model only ever clears it.
  void setSelected(std::optional<std::string> id);
  const std::optional<QImage>& preview() const { return preview_; }
  const std::optional<transfer::ContentUrl>& quickLookURL() const { return quickLookURL_; }
  // For text and PDF, the verified bytes behind quickLookURL.
  const std::optional<QByteArray>& quickLookBytes() const { return quickLookBytes_; }
  FileKind quickLookKind() const { return quickLookKind_; }

  const std::optional<ReceivedNode> selectedNode() const;
  const std::shared_ptr<ReceivedAccess>& access() const { return access_; }
  bool loading() const { return loading_; }

  // Opens the container and lists its top folder.
  void open(const store::ReceiveIndexEntry& entry);
  // Lists one page: a path (none keeps the current one) and an offset (negative read as 0).
  void load(std::optional<std::vector<std::string>> path, std::int64_t offset);
  // Forgets the preview and makes a running one stale.
  void clearPreview();
  // Previews the selected file; nothing while a page loads, without access, or for a folder.
  void previewSelection();

  // Files read to decode an image (a cached thumbnail reads none).
  int imageReads() const { return imageReads_->load(); }

 Q_SIGNALS:
  void changed();

 private:
  struct Preview {
    std::optional<QImage> image;
    std::optional<transfer::ContentUrl> url;
    std::optional<QByteArray> bytes;
    FileKind kind = FileKind::none;
  };
  static Preview buildPreview(const ReceivedAccess& access, const ReceivedNode& node,
                              ThumbnailCache& cache, std::atomic<int>& imageReads);
  void updateBusy();

  std::vector<ReceivedNode> nodes_;
  std::vector<std::string> path_;
  std::int64_t offset_ = 0;
  bool hasMore_ = false;
  bool busy_ = false;
  std::optional<std::string> error_;
  std::optional<std::string> selected_;
  std::optional<QImage> preview_;
  std::optional<transfer::ContentUrl> quickLookURL_;
  std::optional<QByteArray> quickLookBytes_;
  FileKind quickLookKind_ = FileKind::none;

  std::shared_ptr<ReceivedAccess> access_;
  std::shared_ptr<transfer::Executor> worker_;
  std::shared_ptr<transfer::Executor> main_;
  std::shared_ptr<ThumbnailCache> cache_ = std::make_shared<ThumbnailCache>();
  std::shared_ptr<std::atomic<int>> imageReads_ = std::make_shared<std::atomic<int>>(0);
  std::uint64_t loadRevision_ = 0;
  std::uint64_t previewRevision_ = 0;
  bool loading_ = false;
  bool previewing_ = false;
};

}  // namespace velmorine::library
