#include "Velmorine/library/received_browser.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QPdfWriter>

#include "tests/Velmorine/library/library_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {
namespace {

using namespace testing;

class ReceivedBrowserTest : public ::testing::Test {
 protected:
  ReceivedBrowserTest() {
    for (const char* name : {"one", "two"}) std::filesystem::create_directories(folder / name);
  }

  store::ReceiveIndexEntry entry(const char* name) const {
    return receivedEntry(folder / name, core::Uuid::random());
  }
  // Opens the container and lets its first page arrive.
  void openSettled(const char* name) {
    browser.open(entry(name));
    settle();
  }
  void settle() {
    while (worker->runOne() || main->runOne()) {
    }
  }
  void select(const std::string& id) { browser.setSelected(id); }

  velmorine::testing::TemporaryFolder folder;
  std::shared_ptr<ManualExecutor> worker = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
  ReceivedBrowser browser{{worker, main}};
};

TEST_F(ReceivedBrowserTest, OpensAndListsTheTopFolder) {
  writeText(folder / "one" / "a.txt", "a");
  browser.open(entry("one"));
  EXPECT_TRUE(browser.busy());
  settle();
  EXPECT_FALSE(browser.busy());
  ASSERT_EQ(browser.nodes().size(), 1u);
  EXPECT_EQ(browser.nodes()[0].id(), "a.txt");
  EXPECT_FALSE(browser.error());
}

TEST_F(ReceivedBrowserTest, AMissingContainerIsLibraryMissing) {
  const auto gone = entry("two");
  std::filesystem::remove(folder / "two");
  browser.open(gone);
  settle();
  EXPECT_EQ(browser.error(), "library.missing");
  EXPECT_FALSE(browser.access());
  EXPECT_FALSE(browser.busy());
}

TEST_F(ReceivedBrowserTest, AnotherContainerWhileAListingRunsDropsThatListing) {
  writeText(folder / "one" / "old.txt", "a");
  writeText(folder / "two" / "new.txt", "b");
  browser.open(entry("one"));
  worker->runOne();  // the first container opens
  main->runOne();    // and its listing is queued
  browser.open(entry("two"));
  settle();
  ASSERT_EQ(browser.nodes().size(), 1u);
  EXPECT_EQ(browser.nodes()[0].name, "new.txt");
}

TEST_F(ReceivedBrowserTest, ANegativeOffsetListsFromZero) {
  writeText(folder / "one" / "a.txt", "a");
  openSettled("one");
  browser.load(std::nullopt, -200);
  EXPECT_EQ(browser.offset(), 0);
  settle();
  EXPECT_EQ(browser.nodes().size(), 1u);
}

TEST_F(ReceivedBrowserTest, AVanishedFolderEmptiesTheListingButKeepsThePath) {
  std::filesystem::create_directories(folder / "one" / "sub");
  openSettled("one");
  std::filesystem::remove(folder / "one" / "sub");
  browser.load(std::vector<std::string>{"sub"}, 0);
  settle();
  EXPECT_EQ(browser.error(), "library.missing");
  EXPECT_TRUE(browser.nodes().empty());
  EXPECT_EQ(browser.path(), (std::vector<std::string>{"sub"}));
}

TEST_F(ReceivedBrowserTest, ASecondImageWhileTheFirstDecodesShowsOnlyTheSecond) {
  writeFile(folder / "one" / "first.png", encoded(twoColourImage({30, 30}), "png"));
  writeFile(folder / "one" / "second.png", encoded(twoColourImage({20, 10}), "png"));
  openSettled("one");
  select("first.png");
  browser.previewSelection();
  worker->runOne();  // the first decode finishes, its result waits for the main queue
  select("second.png");
  browser.clearPreview();
  browser.previewSelection();
  settle();
  ASSERT_TRUE(browser.preview());
  EXPECT_EQ(browser.preview()->size(), QSize(20, 10));
  EXPECT_FALSE(browser.busy());
}

TEST_F(ReceivedBrowserTest, PagingDuringAPreviewClearsItAtOnce) {
  writeFile(folder / "one" / "image.png", encoded(twoColourImage({30, 30}), "png"));
  openSettled("one");
  select("image.png");
  browser.previewSelection();
  browser.load(std::nullopt, 200);
  EXPECT_FALSE(browser.preview());
  settle();
  EXPECT_FALSE(browser.preview());
  EXPECT_FALSE(browser.error());
}

TEST_F(ReceivedBrowserTest, AnImageSelectedTwiceIsReadOnce) {
  writeFile(folder / "one" / "image.png", encoded(twoColourImage({30, 30}), "png"));
  openSettled("one");
  select("image.png");
  browser.previewSelection();
  settle();
  browser.clearPreview();
  browser.previewSelection();
  settle();
  EXPECT_TRUE(browser.preview());
  EXPECT_EQ(browser.imageReads(), 1);
}

TEST_F(ReceivedBrowserTest, NothingToPreviewForAFolderNothingSelectedOrWhileLoading) {
  std::filesystem::create_directories(folder / "one" / "sub");
  writeText(folder / "one" / "a.txt", "a");
  openSettled("one");
  browser.previewSelection();
  select("sub");
  browser.previewSelection();
  select("a.txt");
  browser.load(std::nullopt, 0);
  browser.previewSelection();
  EXPECT_TRUE(worker->queue.size() == 1);  // only the listing
  settle();
}

struct KindCase {
  const char* name;
  std::uint64_t size;
  bool image;
  bool url;
  bool bytes;
  bool fails;
};

class ReceivedBrowserKinds : public ReceivedBrowserTest,
                             public ::testing::WithParamInterface<KindCase> {};

TEST_P(ReceivedBrowserKinds, PreviewsEachKindItsWay) {
  const auto file = folder / "one" / GetParam().name;
  if (GetParam().image) {
    writeFile(file, encoded(twoColourImage({30, 30}), "png"));
  } else {
    writeText(file, "x");
    std::filesystem::resize_file(file, GetParam().size);
  }
  openSettled("one");
  select(GetParam().name);
  browser.previewSelection();
  settle();
  EXPECT_EQ(browser.preview().has_value(), GetParam().image);
  EXPECT_EQ(browser.quickLookURL().has_value(), GetParam().url);
  EXPECT_EQ(browser.quickLookBytes().has_value(), GetParam().bytes);
  EXPECT_EQ(browser.error() == std::optional<std::string>("library.previewUnavailable"),
            GetParam().fails);
  if (GetParam().url) {
    EXPECT_EQ(browser.quickLookURL()->path(), file);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceivedBrowserKinds,
    ::testing::Values(KindCase{"photo.png", 0, true, false, false, false},
                      KindCase{"text16MiB.txt", 16u << 20, false, true, true, false},
                      KindCase{"textOver.txt", (16u << 20) + 1, false, false, false, true},
                      KindCase{"paper.pdf", 1000, false, true, true, false},
                      KindCase{"movie.mp4", (16u << 20) + 1, false, true, false, false},
                      KindCase{"sound.wav", 100, false, true, false, false},
                      KindCase{"noextension", 10, false, false, false, true},
                      KindCase{"archive.zip", 10, false, false, false, true}),
    [](const auto& row) {
      std::string name = row.param.name;
      std::erase(name, '.');
      return name;
    });

TEST_F(ReceivedBrowserTest, AFileChangedSinceListedIsNotPreviewed) {
  writeText(folder / "one" / "note.txt", "hello");
  openSettled("one");
  writeText(folder / "one" / "note.txt", "HELLO");
  select("note.txt");
  browser.previewSelection();
  settle();
  EXPECT_EQ(browser.error(), "library.previewUnavailable");
  EXPECT_FALSE(browser.quickLookURL());
}

TEST_F(ReceivedBrowserTest, ADroppedBrowserIgnoresLateResults) {
  auto dropped = std::make_unique<ReceivedBrowser>(ReceivedBrowser::Queues{worker, main});
  dropped->open(entry("one"));
  dropped.reset();
  settle();
}

}  // namespace
}  // namespace velmorine::library
