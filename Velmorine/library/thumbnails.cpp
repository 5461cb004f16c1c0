#include "Velmorine/library/thumbnails.h"

#include <fcntl.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>
#include <cerrno>

#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "Velmorine/transfer/source_stamp.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/files/unique_fd.h"

namespace velmorine::library {

namespace {

using transfer::ContentFailure;
using Case = ContentFailure::Case;

bool acceptedFormat(const QByteArray& format) {
  return format == "jpeg" || format == "png" || format == "gif" || format == "tiff";
}

// The decoded size for a longest side of `longest`, keeping the aspect ratio; never larger than
// the image.
QSize boundedSize(QSize size, int longest) {
  const int side = std::max(size.width(), size.height());
  if (side <= longest) return size;
  const double scale = static_cast<double>(longest) / side;
  return QSize(std::max(1, static_cast<int>(size.width() * scale + 0.5)),
               std::max(1, static_cast<int>(size.height() * scale + 0.5)));
}

}  // namespace

QImage makeThumbnail(std::span<const std::uint8_t> data, int maxPixelSize) {
  if (static_cast<std::int64_t>(data.size()) > kThumbnailDataLimit) {
    throw ContentFailure(Case::sizeLimit);
  }
  // The reader works on the caller's bytes without a copy.
  const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                                   static_cast<qsizetype>(data.size()));
  QBuffer buffer;
  buffer.setData(bytes);
  if (!buffer.open(QIODevice::ReadOnly)) throw ContentFailure(Case::sizeLimit);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  if (!acceptedFormat(reader.format())) throw ContentFailure(Case::sizeLimit);

  const QSize stored = reader.size();
  if (!stored.isValid() || stored.width() <= 0 || stored.height() <= 0) {
    throw ContentFailure(Case::sizeLimit);
  }
  const auto width = static_cast<std::uint64_t>(stored.width());
  const auto height = static_cast<std::uint64_t>(stored.height());
  if (width * height > kThumbnailPixelLimit) throw ContentFailure(Case::sizeLimit);

  reader.setAutoTransform(true);
  // The scaled size is of the stored image, before its orientation turns it.
  reader.setScaledSize(boundedSize(stored, std::clamp(maxPixelSize, 1, kLargestThumbnail)));
  QImage image = reader.read();
  if (image.isNull()) throw ContentFailure(Case::io);
  const std::int64_t rows = std::max(image.height(), 1);
  if (image.bytesPerLine() > 67108864 / rows) throw ContentFailure(Case::io);
  return image;
}

void readAllBytes(int descriptor, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t count = ::read(descriptor, buffer.data() + done, buffer.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) throw ContentFailure(Case::changed, count < 0 ? errno : 0);
    done += static_cast<std::size_t>(count);
  }
}

std::vector<std::uint8_t> readVerifiedSource(std::span<const std::uint8_t> bookmark,
                                             const transfer::ContentEntry& entry) {
  const platform::ResolvedBookmark resolved = platform::resolve_bookmark(bookmark);
  if (resolved.stale || entry.size > static_cast<std::uint64_t>(kThumbnailDataLimit)) {
    throw ContentFailure(Case::access);
  }
  const auto scope =
      transfer::ScopedContentAccess::start(transfer::ContentUrl::file(resolved.path));
  const platform::UniqueFd fd(
      ::open(resolved.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) throw ContentFailure(Case::access, errno);
  const auto before = transfer::SourceStamp::ofDescriptor(fd.get());
  if (!before.isRegularFile() || before.size < 0 ||
      static_cast<std::uint64_t>(before.size) != entry.size) {
    throw ContentFailure(Case::changed);
  }
  // A file touched since it was prepared is not taken on the strength of its digest alone: the
  // manifest names its modification time, and the row shows what the peer was sent.
  if (!entry.modifiedUTC.empty() &&
      entry.modifiedUTC !=
          transfer::iso8601Milliseconds(before.modifiedSeconds, before.modifiedNanos)) {
    throw ContentFailure(Case::changed);
  }
  std::vector<std::uint8_t> bytes(entry.size);
  readAllBytes(fd.get(), bytes);
  if (transfer::SourceStamp::ofDescriptor(fd.get()) != before) throw ContentFailure(Case::changed);
  transfer::ContentDigest digest;
  digest.update(bytes);
  if (!entry.sha256 || *entry.sha256 != digest.hexOfCopy()) {
    throw ContentFailure(Case::changed);
  }
  return bytes;
}

}  // namespace velmorine::library
