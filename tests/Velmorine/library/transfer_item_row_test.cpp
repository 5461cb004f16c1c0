#include "Velmorine/library/transfer_item_row.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLabel>

#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/symbol_label.h"
#include "tests/Velmorine/library/library_fixture.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {
namespace {

using namespace testing;
using transfer::TransferState;
using workspace::testing::ViewFixture;

class TransferItemRowTest : public ViewFixture {
 protected:
  TransferItemRowTest() {
    thumbnails->queue = queue;
    thumbnails->main = main;
    ChatThumbnails::replaceShared(thumbnails);
    std::filesystem::create_directories(container());
  }
  ~TransferItemRowTest() override { ChatThumbnails::replaceShared(nullptr); }

  std::filesystem::path container() const {
    return folder / "Velmorine-7d0d1c2e-0000-4000-8000-000000000001";
  }

  // An outgoing source file with the entry that preparation would have made of it.
  transfer::TransferDisplayItem outgoingItem(const std::string& name, const Bytes& content) {
    const auto file = folder / "sources" / name;
    writeFile(file, content);
    transfer::TransferDisplayItem made;
    made.entry.path = name;
    made.entry.size = content.size();
    transfer::ContentDigest digest;
    digest.update(content);
    made.entry.sha256 = digest.hexOfCopy();
    struct stat status {};
    ::stat(file.c_str(), &status);
    made.entry.modifiedUTC =
        transfer::iso8601Milliseconds(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    made.sourceBookmark = platform::create_bookmark(file, true);
    return made;
  }

  transfer::RuntimeTransfer transferOf(TransferState state, bool outgoing) const {
    transfer::RuntimeTransfer made;
    made.id = "7d0d1c2e-0000-4000-8000-000000000001";
    made.state = state;
    made.outgoing = outgoing;
    return made;
  }

  std::unique_ptr<TransferItemRow> row(const transfer::TransferDisplayItem& item,
                                       const transfer::RuntimeTransfer& transfer,
                                       std::optional<store::ReceiveIndexEntry> received = {}) {
    return std::make_unique<TransferItemRow>(*environment, item, transfer, std::move(received));
  }

  // Runs the queued decoding and hands its result back.
  void settle() {
    queue->runAll();
    main->runAll();
  }

  velmorine::testing::TemporaryFolder folder;
  std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
  std::shared_ptr<ChatThumbnails> thumbnails = std::make_shared<ChatThumbnails>();
};

TEST_F(TransferItemRowTest, FoldersAndTextAreNeverAttempted) {
  transfer::TransferDisplayItem folderItem;
  folderItem.entry.path = "Photos";
  folderItem.entry.directory = true;
  const auto folderRow = row(folderItem, transferOf(TransferState::queued, true));
  EXPECT_EQ(folderRow->findChild<workspace::DecorativeSymbol*>()->symbol(), "folder");
  const auto textRow =
      row(outgoingItem("notes.txt", {'h', 'i'}), transferOf(TransferState::queued, true));
  EXPECT_EQ(textRow->findChild<workspace::DecorativeSymbol*>()->symbol(), "doc");
  EXPECT_TRUE(queue->queue.empty());
  settle();
  for (const auto* shown : {folderRow.get(), textRow.get()}) {
    EXPECT_FALSE(shown->thumbnail());
    EXPECT_FALSE(shown->unavailable());
  }
}

TEST_F(TransferItemRowTest, AnOutgoingPhotoShowsItsThumbnailAndASecondRowTakesItFromTheCache) {
  const auto item = outgoingItem("photo.jpg", encoded(twoColourImage({800, 400}), "jpeg"));
  const auto first = row(item, transferOf(TransferState::offered, true));
  EXPECT_FALSE(first->thumbnail());
  settle();
  ASSERT_TRUE(first->thumbnail());
  EXPECT_EQ(first->thumbnail()->size(), QSize(400, 200));
  EXPECT_FALSE(first->unavailable());
  const auto* image = first->findChild<QLabel*>(QStringLiteral("transfer.thumbnail"));
  EXPECT_LE(image->width(), 360);
  EXPECT_EQ(image->accessibleName(), QStringLiteral("photo.jpg"));

  const auto second = row(item, transferOf(TransferState::transferring, true));
  EXPECT_TRUE(second->thumbnail());
  EXPECT_TRUE(queue->queue.empty());
}

TEST_F(TransferItemRowTest, AJobWhoseKeyIsCachedByThenUsesTheCachedImage) {
  const auto item = outgoingItem("photo.png", encoded(twoColourImage({20, 20}), "png"));
  const auto shown = row(item, transferOf(TransferState::offered, true));
  QImage cached(3, 3, QImage::Format_RGB32);
  cached.fill(Qt::black);
  thumbnails->cache.insert(cached, shown->thumbnailKey());
  std::filesystem::remove(folder / "sources" / "photo.png");  // a read would fail now
  settle();
  ASSERT_TRUE(shown->thumbnail());
  EXPECT_EQ(shown->thumbnail()->size(), QSize(3, 3));
}

TEST_F(TransferItemRowTest, AModifiedSourceShowsTheUnavailableText) {
  const auto item = outgoingItem("photo.png", encoded(twoColourImage({20, 20}), "png"));
  std::ofstream(folder / "sources" / "photo.png", std::ios::app) << "more";
  const auto shown = row(item, transferOf(TransferState::offered, true));
  settle();
  EXPECT_FALSE(shown->thumbnail());
  EXPECT_TRUE(shown->unavailable());
  EXPECT_TRUE(shown->findChild<QLabel*>(QStringLiteral("transfer.thumbnailUnavailable"))
                  ->isVisibleTo(shown.get()));
}

TEST_F(TransferItemRowTest, AnOutgoingItemWithoutBookmarkNeedsAReceivedContainer) {
  auto item = outgoingItem("photo.png", encoded(twoColourImage({20, 20}), "png"));
  item.sourceBookmark.reset();
  const auto shown = row(item, transferOf(TransferState::offered, true));
  settle();
  EXPECT_TRUE(shown->unavailable());
}

TEST_F(TransferItemRowTest, AnIncomingImageShowsOnceCommittedWithoutAnyAction) {
  const Bytes png = encoded(twoColourImage({30, 10}), "png");
  writeFile(container() / "album" / "beach.png", png);
  transfer::TransferDisplayItem item;
  item.entry.path = "album/beach.png";
  item.entry.size = png.size();
  item.entry.sha256 = "ab";
  auto transfer = transferOf(TransferState::transferring, false);
  const auto shown = row(item, transfer);
  settle();
  EXPECT_FALSE(shown->thumbnail());
  EXPECT_FALSE(shown->unavailable());

  transfer.state = TransferState::committed;
  shown->update(item, transfer, std::nullopt);
  EXPECT_TRUE(queue->queue.empty());
  shown->update(item, transfer, receivedEntry(container(), *core::Uuid::parse(transfer.id)));
  settle();
  ASSERT_TRUE(shown->thumbnail());
  EXPECT_EQ(shown->thumbnail()->size(), QSize(30, 10));
}

TEST_F(TransferItemRowTest, AReceivedImageOver32MiBIsUnavailable) {
  writeFile(container() / "huge.png", paddedPng(32u * 1024 * 1024 + 1));
  transfer::TransferDisplayItem item;
  item.entry.path = "huge.png";
  const auto shown =
      row(item, transferOf(TransferState::committed, false),
          receivedEntry(container(),
                        *core::Uuid::parse(transferOf(TransferState::committed, false).id)));
  settle();
  EXPECT_TRUE(shown->unavailable());
}

TEST_F(TransferItemRowTest, AReceivedLinkIsNotFollowed) {
  writeFile(folder / "outside.png", encoded(twoColourImage({20, 20}), "png"));
  std::filesystem::create_symlink(folder / "outside.png", container() / "inside.png");
  transfer::TransferDisplayItem item;
  item.entry.path = "inside.png";
  const auto shown =
      row(item, transferOf(TransferState::committed, false),
          receivedEntry(container(),
                        *core::Uuid::parse(transferOf(TransferState::committed, false).id)));
  settle();
  EXPECT_TRUE(shown->unavailable());
  EXPECT_FALSE(shown->thumbnail());
}

TEST_F(TransferItemRowTest, ALateResultForAGoneRowStillFillsTheCache) {
  const auto item = outgoingItem("photo.png", encoded(twoColourImage({20, 20}), "png"));
  auto shown = row(item, transferOf(TransferState::offered, true));
  const std::string key = shown->thumbnailKey();
  shown.reset();
  settle();
  EXPECT_TRUE(thumbnails->cache.image(key));
}

}  // namespace
}  // namespace velmorine::library
