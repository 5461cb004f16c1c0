#pragma once

// What the library's tests share: image files made on the spot, an executor that runs work only
// when the test says so, and received containers made in a temporary folder with their
// bookmarks.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/attachment_preparation.h"
#include "platform/bookmarks/bookmarks.h"

namespace velmorine::library::testing {

using Bytes = std::vector<std::uint8_t>;

// Work waits until the test runs it, one item at a time, in order.
class ManualExecutor final : public transfer::Executor {
 public:
  void post(std::function<void()> work) override { queue.push_back(std::move(work)); }
  // Runs the oldest item; false when there was none.
  bool runOne() {
    if (queue.empty()) return false;
    auto work = std::move(queue.front());
    queue.pop_front();
    work();
    return true;
  }
  // Runs until nothing waits, work posted meanwhile included.
  void runAll() {
    while (runOne()) {
    }
  }
  std::deque<std::function<void()>> queue;
};

inline Bytes bytesOf(const QByteArray& data) { return Bytes(data.begin(), data.end()); }

// An image of the size, its left half red and its right half blue.
inline QImage twoColourImage(QSize size) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::blue);
  for (int y = 0; y < size.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < size.width() / 2; ++x) line[x] = qRgb(255, 0, 0);
  }
  return image;
}

// The image encoded in `format` ("png", "jpeg", "tiff", "bmp", "webp"); empty when the format
// cannot be written here.
inline Bytes encoded(const QImage& image, const char* format) {
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  if (!writer.write(image)) return {};
  return bytesOf(data);
}

// A 1 × 1 GIF (Qt writes none).
inline Bytes tinyGif() {
  static const unsigned char gif[] = {
      0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00,
      0x00, 0xff, 0xff, 0xff, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
  return Bytes(std::begin(gif), std::end(gif));
}

inline std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A small PNG grown to exactly `total` bytes by a private ancillary chunk after its header.
inline Bytes paddedPng(std::size_t total) {
  Bytes png = encoded(twoColourImage({8, 8}), "png");
  const std::size_t afterHeader = 8 + 25;  // signature, IHDR chunk
  const std::size_t length = total - png.size() - 12;
  Bytes chunk;
  chunk.reserve(length + 12);
  for (int shift = 24; shift >= 0; shift -= 8)
    chunk.push_back(static_cast<std::uint8_t>(length >> shift));
  for (char c : std::string("prVt")) chunk.push_back(static_cast<std::uint8_t>(c));
  chunk.resize(chunk.size() + length, 0x20);
  const std::uint32_t crc = crc32(chunk.data() + 4, length + 4);
  for (int shift = 24; shift >= 0; shift -= 8)
    chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
  png.insert(png.begin() + static_cast<std::ptrdiff_t>(afterHeader), chunk.begin(), chunk.end());
  return png;
}

// A JPEG whose EXIF orientation says "turn 90° clockwise to show" (6).
inline Bytes jpegTurnedClockwise(QSize stored) {
  Bytes jpeg = encoded(twoColourImage(stored), "jpeg");
  const Bytes exif = {0xff, 0xe1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0x00, 0x00, 'M',  'M',
                      0x00, 0x2a, 0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x01, 0x12, 0x00, 0x03,
                      0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  return jpeg;
}

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
  writeFile(path, Bytes(text.begin(), text.end()));
}

// The store's entry of a container folder.
inline store::ReceiveIndexEntry receivedEntry(const std::filesystem::path& container,
                                              const core::Uuid& id, double committedAt = 0) {
  store::ReceiveIndexEntry entry;
  entry.transferID = id;
  entry.containerBookmark = platform::create_bookmark(container, false);
  entry.committedAt = store::Date{committedAt};
  return entry;
}

}  // namespace velmorine::library::testing
