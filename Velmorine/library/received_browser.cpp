#include "Velmorine/library/received_browser.h"

#include <QPointer>
#include <variant>

#include "Velmorine/library/thumbnails.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/workspace/content_attachments.h"

namespace velmorine::library {

namespace {

using transfer::ContentFailure;

constexpr const char* kMissing = "library.missing";
constexpr const char* kPreviewUnavailable = "library.previewUnavailable";

// The identity and times of a file, without its mode: a changed file gets another key.
std::string thumbnailKey(const transfer::SourceStamp& stamp) {
  return std::to_string(stamp.device) + ":" + std::to_string(stamp.inode) + ":" +
         std::to_string(stamp.size) + ":" + std::to_string(stamp.modifiedSeconds) + ":" +
         std::to_string(stamp.modifiedNanos) + ":" + std::to_string(stamp.changedSeconds) + ":" +
         std::to_string(stamp.changedNanos);
}

}  // namespace

ReceivedBrowser::ReceivedBrowser(Queues queues, QObject* parent)
    : QObject(parent),
      worker_(queues.worker ? std::move(queues.worker)
                            : transfer::makeSerialQueueExecutor("received-browser")),
      main_(queues.main ? std::move(queues.main) : workspace::mainQueueExecutor()) {}

ReceivedBrowser::~ReceivedBrowser() = default;

void ReceivedBrowser::updateBusy() { busy_ = loading_ || previewing_; }

void ReceivedBrowser::setError(std::optional<std::string> key) {
  error_ = std::move(key);
  Q_EMIT changed();
}

void ReceivedBrowser::setSelected(std::optional<std::string> id) {
  selected_ = std::move(id);
  Q_EMIT changed();
}

const std::optional<ReceivedNode> ReceivedBrowser::selectedNode() const {
  if (!selected_) return std::nullopt;
  for (const auto& node : nodes_) {
    if (node.id() == *selected_) return node;
  }
  return std::nullopt;
}

void ReceivedBrowser::open(const store::ReceiveIndexEntry& entry) {
  const std::uint64_t revision = ++loadRevision_;
  loading_ = true;
  clearPreview();
  error_.reset();
  nodes_.clear();
  path_.clear();
  offset_ = 0;
  selected_.reset();
  access_.reset();
  Q_EMIT changed();
  worker_->post([bookmark = entry.containerBookmark, revision, main = main_,
                 self = QPointer<ReceivedBrowser>(this)] {
    std::shared_ptr<ReceivedAccess> opened;
    try {
      opened = std::make_shared<ReceivedAccess>(bookmark);
    } catch (...) {
      // Unresolvable, stale or unopenable: the container is missing.
    }
    main->post([self, revision, opened = std::move(opened)] {
      if (!self || self->loadRevision_ != revision) return;
      if (!opened) {
        self->loading_ = false;
        self->updateBusy();
        self->error_ = kMissing;
        Q_EMIT self->changed();
        return;
      }
      self->access_ = opened;
      self->load(std::nullopt, 0);
    });
  });
}

void ReceivedBrowser::load(std::optional<std::vector<std::string>> path, std::int64_t offset) {
  if (!access_) return;
  const std::uint64_t revision = ++loadRevision_;
  if (path) path_ = std::move(*path);
  offset_ = std::max<std::int64_t>(offset, 0);
  loading_ = true;
  clearPreview();
  error_.reset();
  selected_.reset();
  Q_EMIT changed();
  worker_->post([access = access_, components = path_, at = offset_, revision, main = main_,
                 self = QPointer<ReceivedBrowser>(this)] {
    std::variant<ReceivedPage, ContentFailure> result = ContentFailure(ContentFailure::Case::io);
    try {
      result = list(*access, components, at, kPageSize);
    } catch (const ContentFailure& failure) {
      result = failure;
    }
    main->post([self, revision, result = std::move(result)]() mutable {
      if (!self || self->loadRevision_ != revision) return;
      self->loading_ = false;
      self->updateBusy();
      if (auto* page = std::get_if<ReceivedPage>(&result)) {
        self->nodes_ = std::move(page->nodes);
        self->hasMore_ = page->hasMore;
      } else {
        self->nodes_.clear();
        self->hasMore_ = false;
        self->error_ = kMissing;
      }
      Q_EMIT self->changed();
    });
  });
}

void ReceivedBrowser::clearPreview() {
  ++previewRevision_;
  previewing_ = false;
  updateBusy();
  preview_.reset();
  quickLookURL_.reset();
  quickLookBytes_.reset();
  quickLookKind_ = FileKind::none;
  Q_EMIT changed();
}

void ReceivedBrowser::previewSelection() {
  const auto node = selectedNode();
  if (loading_ || !access_ || !node || node->directory) return;
  const std::uint64_t revision = ++previewRevision_;
  preview_.reset();
  quickLookURL_.reset();
  quickLookBytes_.reset();
  quickLookKind_ = FileKind::none;
  error_.reset();
  previewing_ = true;
  busy_ = true;
  Q_EMIT changed();
  worker_->post([access = access_, node = *node, cache = cache_, reads = imageReads_, revision,
                 main = main_, self = QPointer<ReceivedBrowser>(this)] {
    std::optional<Preview> built;
    try {
      built = buildPreview(*access, node, *cache, *reads);
    } catch (...) {
      // Changed, unsupported, too large or undecodable: the preview is unavailable.
    }
    main->post([self, revision, built = std::move(built)]() mutable {
      if (!self || self->previewRevision_ != revision) return;
      self->previewing_ = false;
      self->updateBusy();
      if (built) {
        self->preview_ = std::move(built->image);
        self->quickLookURL_ = std::move(built->url);
        self->quickLookBytes_ = std::move(built->bytes);
        self->quickLookKind_ = built->kind;
      } else {
        self->error_ = kPreviewUnavailable;
      }
      Q_EMIT self->changed();
    });
  });
}

ReceivedBrowser::Preview ReceivedBrowser::buildPreview(const ReceivedAccess& access,
                                                       const ReceivedNode& node,
                                                       ThumbnailCache& cache,
                                                       std::atomic<int>& imageReads) {
  const transfer::ContentUrl url = access.verifiedURL(node);
  const FileKind kind = fileKindOfName(node.name);
  Preview preview;
  preview.kind = kind;
  switch (kind) {
    case FileKind::image: {
      const std::string key = thumbnailKey(node.stamp);
      if (auto cached = cache.image(key)) {
        preview.image = std::move(*cached);
        return preview;
      }
      ++imageReads;
      const auto bytes = readFile(access, node, static_cast<std::uint64_t>(kThumbnailDataLimit));
      QImage image = makeThumbnail(bytes, kLargestThumbnail);
      cache.insert(image, key);
      preview.image = std::move(image);
      return preview;
    }
    case FileKind::movie:
    case FileKind::audio:
      preview.url = url;
      return preview;
    case FileKind::plainText:
    case FileKind::pdf: {
      if (node.size > kQuickLookLimit) throw ContentFailure(ContentFailure::Case::sizeLimit);
      const auto bytes = readFile(access, node, kQuickLookLimit);
      preview.url = url;
      preview.bytes = QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                 static_cast<qsizetype>(bytes.size()));
      return preview;
    }
    case FileKind::none:
    case FileKind::other:
      break;
  }
  throw ContentFailure(ContentFailure::Case::unsupportedNode);
}

}  // namespace velmorine::library
