#include "Velmorine/library/transfer_item_row.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "Velmorine/library/file_kinds.h"
#include "Velmorine/library/received_listing.h"
#include "Velmorine/library/thumbnails.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::library {

namespace {

std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    components.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) return components;
    start = slash + 1;
  }
}

}  // namespace

TransferItemRow::TransferItemRow(workspace::ViewEnvironment& environment,
                                 transfer::TransferDisplayItem item,
                                 const transfer::RuntimeTransfer& transfer,
                                 std::optional<store::ReceiveIndexEntry> received, QWidget* parent)
    : QWidget(parent),
      environment_(environment),
      item_(std::move(item)),
      transferID_(transfer.id),
      outgoing_(transfer.outgoing),
      state_(transfer.state),
      received_(std::move(received)),
      name_(new workspace::SymbolLabel(workspace::TextStyle::callout)),
      image_(new QLabel),
      unavailableText_(
          new workspace::TextLabel(workspace::TextStyle::caption, workspace::TextTone::secondary)) {
  setObjectName(QStringLiteral("transfer.item"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(6);
  column->addWidget(name_);
  column->addWidget(image_, 0, Qt::AlignHCenter);
  column->addWidget(unavailableText_);

  const QString path = QString::fromStdString(item_.entry.path);
  name_->setContent(item_.entry.directory ? "folder" : "doc", path);
  name_->label()->setWrapping(true);
  name_->label()->setSelectable(true);
  name_->label()->setMaximumHeight(name_->label()->fontMetrics().lineSpacing() * 2 + 2);
  name_->setToolTip(workspace::escapedToolTip(path));
  image_->setObjectName(QStringLiteral("transfer.thumbnail"));
  image_->setAccessibleName(path);
  unavailableText_->setObjectName(QStringLiteral("transfer.thumbnailUnavailable"));
  retranslate();
  showState();
  loadedFor_ = canLoadThumbnail();
  loadThumbnail();
}

void TransferItemRow::update(transfer::TransferDisplayItem item,
                             const transfer::RuntimeTransfer& transfer,
                             std::optional<store::ReceiveIndexEntry> received) {
  const bool renamed = item.entry.path != item_.entry.path;
  item_ = std::move(item);
  transferID_ = transfer.id;
  outgoing_ = transfer.outgoing;
  state_ = transfer.state;
  received_ = std::move(received);
  if (renamed) {
    const QString path = QString::fromStdString(item_.entry.path);
    name_->setContent(item_.entry.directory ? "folder" : "doc", path);
    name_->setToolTip(workspace::escapedToolTip(path));
    image_->setAccessibleName(path);
  }
  if (const bool eligible = canLoadThumbnail(); eligible != loadedFor_) {
    loadedFor_ = eligible;
    loadThumbnail();
  }
}

void TransferItemRow::retranslate() {
  unavailableText_->setText(environment_.text("library.previewUnavailable"));
}

bool TransferItemRow::canLoadThumbnail() const {
  if (outgoing_) return true;
  return state_ == transfer::TransferState::committed && received_.has_value();
}

std::string TransferItemRow::thumbnailKey() const {
  return transferID_ + ":" + item_.entry.path + ":" + item_.entry.sha256.value_or("");
}

void TransferItemRow::loadThumbnail() {
  if (!canLoadThumbnail() || item_.entry.directory) return;
  const auto slash = item_.entry.path.rfind('/');
  const std::string name =
      slash == std::string::npos ? item_.entry.path : item_.entry.path.substr(slash + 1);
  if (fileKindOfName(name) != FileKind::image) return;
  const std::string key = thumbnailKey();
  const auto thumbnails = ChatThumbnails::shared();
  if (auto cached = thumbnails->cache.image(key)) {
    thumbnail_ = std::move(*cached);
    showState();
    return;
  }
  Source source{item_, outgoing_, received_};
  thumbnails->queue->post(
      [thumbnails, source = std::move(source), key, row = QPointer<TransferItemRow>(this)] {
        std::optional<QImage> image = thumbnails->cache.image(key);
        if (!image) {
          try {
            image = thumbnailImage(source);
          } catch (...) {
            // Every failure reads the same to the user: the unavailable text.
          }
        }
        thumbnails->main->post([thumbnails, key, image = std::move(image), row] {
          if (image) thumbnails->cache.insert(*image, key);
          if (row) row->applyThumbnailResult(image);
        });
      });
}

QImage TransferItemRow::thumbnailImage(const Source& source) {
  std::vector<std::uint8_t> bytes;
  if (source.outgoing && source.item.sourceBookmark) {
    bytes = readVerifiedSource(*source.item.sourceBookmark, source.item.entry);
  } else {
    if (!source.received) throw transfer::ContentFailure(transfer::ContentFailure::Case::access);
    const ReceivedAccess access(source.received->containerBookmark);
    const ReceivedNode node = fileNode(access, pathComponents(source.item.entry.path));
    bytes = readFile(access, node, static_cast<std::uint64_t>(kThumbnailDataLimit));
  }
  return makeThumbnail(bytes, kRowThumbnailPixels);
}

void TransferItemRow::applyThumbnailResult(std::optional<QImage> image) {
  if (image) {
    thumbnail_ = std::move(*image);
    unavailable_ = false;
  } else {
    unavailable_ = true;
  }
  showState();
}

void TransferItemRow::showState() {
  if (thumbnail_) {
    const QSize fitted = thumbnail_->size().scaled(
        thumbnail_->size().boundedTo(kLargestThumbnailFrame), Qt::KeepAspectRatio);
    image_->setPixmap(QPixmap::fromImage(
        thumbnail_->scaled(fitted, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    image_->setFixedSize(fitted);
    image_->show();
    unavailableText_->hide();
  } else {
    image_->hide();
    unavailableText_->setVisible(unavailable_);
  }
}

}  // namespace velmorine::library
