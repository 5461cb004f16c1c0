#pragma once

// Turning image files into bounded thumbnails, and reading back an outgoing attachment only
// while it is still the file that was prepared. Everything here blocks on files or decoding and
// runs on a worker queue, never on the main thread.

#include <QImage>
#include <cstdint>
#include <span>
#include <vector>

#include "Velmorine/transfer/content_entry.h"

namespace velmorine::library {

inline constexpr std::int64_t kThumbnailDataLimit = 32LL * 1024 * 1024;
inline constexpr std::uint64_t kThumbnailPixelLimit = 4096ULL * 4096ULL;
inline constexpr int kLargestThumbnail = 1600;

// A thumbnail whose longest side is `maxPixelSize` clamped to 1…1600 (smaller images keep their
// size), orientation applied. Only JPEG, PNG, GIF and TIFF are taken, decided by the bytes
// themselves; more than 32 MiB of data, or more than 4096 × 4096 pixels, is refused before
// decoding. Throws ContentFailure sizeLimit (refused) or io (not decodable).
QImage makeThumbnail(std::span<const std::uint8_t> data, int maxPixelSize);

// Fills `buffer` from the descriptor's current position; an early end or a read error throws
// ContentFailure changed (the file is not the one that was measured).
void readAllBytes(int descriptor, std::span<std::uint8_t> buffer);

// The bytes of an outgoing source through its bookmark, proven to be the prepared file: the
// same size, the same stamp before and after the read, and the entry's digest. Throws
// ContentFailure access (stale bookmark, over 32 MiB, cannot be opened) or changed, or the
// bookmark layer's own error.
std::vector<std::uint8_t> readVerifiedSource(std::span<const std::uint8_t> bookmark,
                                             const transfer::ContentEntry& entry);

}  // namespace velmorine::library
