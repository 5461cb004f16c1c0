#include "Velmorine/library/thumbnails.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include "Velmorine/library/thumbnail_cache.h"
#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_preparation.h"
#include "tests/Velmorine/library/library_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {
namespace {

using namespace testing;
using transfer::ContentFailure;
using Case = ContentFailure::Case;

QImage solid(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::green);
  return image;
}

std::int64_t costOf(const QImage& image) { return *ThumbnailCache::cost(image); }

// --- cache ---

TEST(ThumbnailCache, HitMovesTheKeyToTheEndAndMissChangesNothing) {
  ThumbnailCache cache;
  cache.insert(solid(4, 4), "a");
  cache.insert(solid(4, 4), "b");
  cache.insert(solid(4, 4), "c");
  EXPECT_FALSE(cache.image("missing"));
  EXPECT_EQ(cache.order(), (std::deque<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(cache.image("a"));
  EXPECT_EQ(cache.order(), (std::deque<std::string>{"b", "c", "a"}));
}

TEST(ThumbnailCache, ReplacingAKeyCorrectsTheCostAndMovesIt) {
  ThumbnailCache cache;
  cache.insert(solid(4, 4), "a");
  cache.insert(solid(4, 4), "b");
  cache.insert(solid(8, 8), "a");
  EXPECT_EQ(cache.order(), (std::deque<std::string>{"b", "a"}));
  EXPECT_EQ(cache.totalCost(), costOf(solid(4, 4)) + costOf(solid(8, 8)));
  EXPECT_EQ(cache.image("a")->size(), QSize(8, 8));
}

struct EvictionCase {
  const char* name;
  std::int64_t capacity;
  std::vector<std::pair<std::string, int>> inserts;  // key, side of a square image
  std::deque<std::string> order;
};

class ThumbnailCacheEviction : public ::testing::TestWithParam<EvictionCase> {};

TEST_P(ThumbnailCacheEviction, KeepsTheMostRecentThatFit) {
  ThumbnailCache cache(GetParam().capacity);
  for (const auto& [key, side] : GetParam().inserts) cache.insert(solid(side, side), key);
  EXPECT_EQ(cache.order(), GetParam().order);
  EXPECT_LE(cache.totalCost(), cache.capacity());
}

// A 4 × 4 RGB32 image costs 64 bytes; 8 × 8 costs 256.
INSTANTIATE_TEST_SUITE_P(
    Table, ThumbnailCacheEviction,
    ::testing::Values(
        EvictionCase{"fits", 256, {{"a", 4}, {"b", 4}, {"c", 4}, {"d", 4}}, {"a", "b", "c", "d"}},
        EvictionCase{"oneOut",
                     256,
                     {{"a", 4}, {"b", 4}, {"c", 4}, {"d", 4}, {"e", 4}},
                     {"b", "c", "d", "e"}},
        EvictionCase{"largeEvictsAll", 256, {{"a", 4}, {"b", 4}, {"c", 8}}, {"c"}},
        EvictionCase{"tooLargeKeepsAll", 255, {{"a", 4}, {"b", 8}}, {"a"}},
        EvictionCase{"tooLargeKeepsOldUnderSameKey", 255, {{"a", 4}, {"a", 8}}, {"a"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ThumbnailCache, RefusedImageLeavesTheOlderOneUnderItsKey) {
  ThumbnailCache cache(255);
  cache.insert(solid(4, 4), "a");
  cache.insert(solid(8, 8), "a");
  EXPECT_EQ(cache.image("a")->size(), QSize(4, 4));
  EXPECT_EQ(cache.totalCost(), 64);
}

// --- thumbnails ---

Case failureOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
  ADD_FAILURE() << "no failure";
  return Case::cancelled;
}

TEST(MakeThumbnail, AcceptsTheFourFormatsByContent) {
  for (const char* format : {"png", "jpeg", "tiff"}) {
    const Bytes data = encoded(solid(40, 20), format);
    ASSERT_FALSE(data.empty()) << format << " cannot be written here";
    EXPECT_EQ(makeThumbnail(data, 400).size(), QSize(40, 20)) << format;
  }
  EXPECT_EQ(makeThumbnail(tinyGif(), 400).size(), QSize(1, 1));
}

Bytes pdfBytes() {
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  {
    QPdfWriter writer(&buffer);
    QPainter painter(&writer);
    painter.drawText(100, 100, QStringLiteral("page"));
  }
  return bytesOf(data);
}

TEST(MakeThumbnail, RefusesOtherFormatsAsTooLarge) {
  EXPECT_EQ(failureOf([] { makeThumbnail(encoded(solid(8, 8), "bmp"), 400); }), Case::sizeLimit);
  EXPECT_EQ(failureOf([] { makeThumbnail(pdfBytes(), 400); }), Case::sizeLimit);
  EXPECT_EQ(failureOf([] { makeThumbnail(Bytes{'h', 'e', 'l', 'l', 'o'}, 400); }), Case::sizeLimit);
  EXPECT_EQ(failureOf([] { makeThumbnail(Bytes{}, 400); }), Case::sizeLimit);
  const Bytes webp = encoded(solid(8, 8), "webp");
  if (webp.empty()) GTEST_SKIP() << "no WebP writer here";
  EXPECT_EQ(failureOf([&] { makeThumbnail(webp, 400); }), Case::sizeLimit);
}

TEST(MakeThumbnail, DataOfExactly32MiBIsDecodedAndOneByteMoreRefused) {
  const Bytes exact = paddedPng(32u * 1024 * 1024);
  ASSERT_EQ(exact.size(), 33554432u);
  EXPECT_EQ(makeThumbnail(exact, 400).size(), QSize(8, 8));
  const Bytes over = paddedPng(32u * 1024 * 1024 + 1);
  EXPECT_EQ(failureOf([&] { makeThumbnail(over, 400); }), Case::sizeLimit);
}

TEST(MakeThumbnail, At4096Squared4096IsAcceptedAnd4097Refused) {
  EXPECT_EQ(makeThumbnail(encoded(solid(4096, 4096), "png"), 400).size(), QSize(400, 400));
  EXPECT_EQ(failureOf([] { makeThumbnail(encoded(solid(4097, 4096), "png"), 400); }),
            Case::sizeLimit);
}

struct SideCase {
  int asked;
  int longest;
};

class MakeThumbnailSide : public ::testing::TestWithParam<SideCase> {};

TEST_P(MakeThumbnailSide, ClampsTheLongestSide) {
  const QImage image = makeThumbnail(encoded(solid(2000, 1000), "png"), GetParam().asked);
  EXPECT_EQ(std::max(image.width(), image.height()), GetParam().longest);
}

INSTANTIATE_TEST_SUITE_P(Table, MakeThumbnailSide,
                         ::testing::Values(SideCase{0, 1}, SideCase{-7, 1}, SideCase{1, 1},
                                           SideCase{400, 400}, SideCase{1600, 1600},
                                           SideCase{5000, 1600}));

TEST(MakeThumbnail, AppliesTheExifOrientation) {
  const QImage image = makeThumbnail(jpegTurnedClockwise({80, 40}), 400);
  ASSERT_EQ(image.size(), QSize(40, 80));
  // Stored left half red; turned clockwise, red is on top.
  EXPECT_GT(qRed(image.pixel(20, 5)), 200);
  EXPECT_GT(qBlue(image.pixel(20, 75)), 200);
}

// --- verified reads of outgoing sources ---

TEST(ReadAllBytes, AnEarlyEndIsChanged) {
  velmorine::testing::TemporaryFolder folder;
  writeText(folder / "short", "abc");
  const int fd = ::open((folder / "short").c_str(), O_RDONLY | O_CLOEXEC);
  Bytes buffer(4);
  EXPECT_EQ(failureOf([&] { readAllBytes(fd, buffer); }), Case::changed);
  ::close(fd);
  Bytes none;
  readAllBytes(-1, none);  // nothing to read needs no descriptor
}

struct SourceCase {
  const char* name;
  std::function<void(const std::filesystem::path&, transfer::ContentEntry&)> change;
  std::optional<Case> failure;
};

class ReadVerifiedSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(ReadVerifiedSource, ProvesTheFileIsThePreparedOne) {
  velmorine::testing::TemporaryFolder folder;
  const auto file = folder / "photo.png";
  const Bytes content = encoded(solid(10, 10), "png");
  writeFile(file, content);
  transfer::ContentEntry entry;
  entry.path = "photo.png";
  entry.size = content.size();
  transfer::ContentDigest digest;
  digest.update(content);
  entry.sha256 = digest.hexOfCopy();
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  entry.modifiedUTC = transfer::iso8601Milliseconds(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
  const auto bookmark = platform::create_bookmark(file, true);
  GetParam().change(file, entry);
  if (GetParam().failure) {
    EXPECT_EQ(failureOf([&] { readVerifiedSource(bookmark, entry); }), *GetParam().failure);
  } else {
    EXPECT_EQ(readVerifiedSource(bookmark, entry), content);
  }
}

void touch(const std::filesystem::path& file) {
  struct timespec times[2] = {{0, UTIME_NOW}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadVerifiedSource,
    ::testing::Values(
        SourceCase{"unchanged", [](auto&, auto&) {}, std::nullopt},
        SourceCase{"replaced",
                   [](const std::filesystem::path& file, auto&) {
                     const Bytes same = [&] {
                       std::ifstream in(file, std::ios::binary);
                       return Bytes(std::istreambuf_iterator<char>(in), {});
                     }();
                     writeFile(file.string() + ".new", same);
                     std::filesystem::rename(file.string() + ".new", file);
                   },
                   Case::access},  // another inode: the bookmark is stale
        SourceCase{"grown",
                   [](const std::filesystem::path& file, auto&) {
                     std::ofstream(file, std::ios::app | std::ios::binary) << "x";
                   },
                   Case::changed},
        SourceCase{"shrunk",
                   [](const std::filesystem::path& file, auto&) {
                     std::filesystem::resize_file(file, 10);
                   },
                   Case::changed},
        SourceCase{"touched", [](const std::filesystem::path& file, auto&) { touch(file); },
                   Case::changed},  // same bytes, but not the time the manifest names
        SourceCase{
            "wrongDigest",
            [](auto&, transfer::ContentEntry& entry) { entry.sha256 = std::string(64, '0'); },
            Case::changed},
        SourceCase{"noDigest", [](auto&, transfer::ContentEntry& entry) { entry.sha256.reset(); },
                   Case::changed},
        SourceCase{"over32MiB", [](auto&, transfer::ContentEntry& entry) { entry.size = 33554433; },
                   Case::access}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace velmorine::library
