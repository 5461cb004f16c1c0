#include "Velmorine/transfer/batch_staging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_preparation.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using testing::patternBytes;
using testing::writeFile;

template <typename Body>
std::optional<Case> failureOf(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

class Staging : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  std::filesystem::path sources = folder / "sources";
  ContentUrl stagingRoot = ContentUrl::file(folder / "outbox/staging", true);
  ContentCancellation cancellation;
  std::vector<std::uint8_t> big = patternBytes(kReadChunkBytes + 99, 5);
  std::shared_ptr<PreparedBatch> batch;

  void SetUp() override {
    std::filesystem::create_directories(sources / "album/inner");
    writeFile(sources / "album/inner/big.bin", big);
    writeFile(sources / "album/empty", "");
    writeFile(sources / "note.txt", "note");
    batch = prepareBatch(
        {ContentUrl::file(sources / "album", true), ContentUrl::file(sources / "note.txt")}, false,
        cancellation, {}, nullptr);
  }

  std::filesystem::path batchFolder() const { return stagingRoot.path() / batch->id().to_string(); }

  std::vector<std::uint8_t> readAll(PreparedBatch& from, std::int64_t index) {
    auto reader = from.openReader(index);
    std::vector<std::uint8_t> bytes;
    while (auto chunk = reader->next(cancellation))
      bytes.insert(bytes.end(), chunk->begin(), chunk->end());
    return bytes;
  }
};

TEST_F(Staging, ACopyHoldsOneContentFilePerFileAndReopensToTheSameBytes) {
  const DurableBatchSource source = stageBatch(stagingRoot, *batch, cancellation);
  EXPECT_EQ(source.id, batch->id());
  EXPECT_EQ(source.entries, batch->entries());
  EXPECT_EQ(source.totalBytes, batch->totalBytes());
  EXPECT_EQ(source.topLevelCount, 2);

  std::set<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(batchFolder())) {
    names.insert(item.path().filename());
    EXPECT_EQ(testing::lstatOf(item.path()).st_mode & 07777, 0600u);
  }
  std::set<std::string> expected;
  for (const auto& entry : batch->entries()) {
    if (!entry.directory) expected.insert("content-" + std::to_string(entry.index));
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(testing::lstatOf(batchFolder()).st_mode & 07777, 0700u);
  EXPECT_EQ(testing::lstatOf(stagingRoot.path()).st_mode & 07777, 0700u);

  // The user's files may go away now: the reopened batch reads the copy.
  std::filesystem::remove_all(sources);
  const auto reopened = reopenStagedBatch(source, stagingRoot, cancellation);
  EXPECT_EQ(reopened->id(), batch->id());
  for (const auto& entry : batch->entries()) {
    if (entry.directory) continue;
    const auto bytes = readAll(*reopened, entry.index);
    EXPECT_EQ(testing::sha256Of(bytes), entry.sha256) << entry.path;
  }
}

TEST_F(Staging, AnExistingBatchFolderIsAConflictAndStaysUntouched) {
  std::filesystem::create_directories(batchFolder());
  writeFile(batchFolder() / "keep", "mine");
  EXPECT_EQ(failureOf([&] { stageBatch(stagingRoot, *batch, cancellation); }), Case::conflict);
  EXPECT_EQ(testing::readFile(batchFolder() / "keep"),
            (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'}));
}

TEST_F(Staging, ASourceChangedBeforeCopyingLeavesNoBatchFolder) {
  testing::waitForClockPast(sources / "note.txt");
  writeFile(sources / "note.txt", "NOTE");
  EXPECT_EQ(failureOf([&] { stageBatch(stagingRoot, *batch, cancellation); }), Case::changed);
  EXPECT_FALSE(std::filesystem::exists(batchFolder()));
  EXPECT_TRUE(std::filesystem::exists(stagingRoot.path()));
}

TEST_F(Staging, CancelledStagingLeavesNoBatchFolder) {
  cancellation.cancel();
  EXPECT_EQ(failureOf([&] { stageBatch(stagingRoot, *batch, cancellation); }), Case::cancelled);
  EXPECT_FALSE(std::filesystem::exists(batchFolder()));
}

TEST_F(Staging, ReopeningRefusesACopyThatNoLongerMatches) {
  const DurableBatchSource source = stageBatch(stagingRoot, *batch, cancellation);
  const auto bigIndex = std::find_if(source.entries.begin(), source.entries.end(), [](auto& e) {
                          return e.path == "album/inner/big.bin";
                        })->index;
  const auto content = batchFolder() / ("content-" + std::to_string(bigIndex));

  std::filesystem::resize_file(content, big.size() - 1);
  EXPECT_EQ(failureOf([&] { reopenStagedBatch(source, stagingRoot, cancellation); }),
            Case::changed);
  auto flipped = big;
  flipped[1000] ^= 1;
  writeFile(content, flipped);
  EXPECT_EQ(failureOf([&] { reopenStagedBatch(source, stagingRoot, cancellation); }),
            Case::changed);
  std::filesystem::remove(content);
  EXPECT_EQ(failureOf([&] { reopenStagedBatch(source, stagingRoot, cancellation); }),
            Case::changed);

  DurableBatchSource broken = source;
  broken.totalBytes += 1;
  EXPECT_EQ(failureOf([&] { reopenStagedBatch(broken, stagingRoot, cancellation); }),
            Case::invalidManifest);
}

TEST_F(Staging, RemovalTakesOnlyContentFiles) {
  stageBatch(stagingRoot, *batch, cancellation);
  const auto names = [&] {
    std::set<std::string> found;
    for (const auto& item : std::filesystem::directory_iterator(batchFolder())) {
      found.insert(item.path().filename());
    }
    return found;
  };
  const auto staged = names();
  for (const char* foreign : {"notes.txt", "content-", "content-abc"}) {
    writeFile(batchFolder() / foreign, "x");
    EXPECT_EQ(failureOf([&] { removeStagedBatch(batch->id(), stagingRoot); }), Case::io) << foreign;
    std::filesystem::remove(batchFolder() / foreign);
    EXPECT_EQ(names(), staged) << "left whole";
  }
  removeStagedBatch(batch->id(), stagingRoot);
  EXPECT_FALSE(std::filesystem::exists(batchFolder()));
  // Already gone, or never made: nothing to do.
  EXPECT_NO_THROW(removeStagedBatch(batch->id(), stagingRoot));
  EXPECT_NO_THROW(removeStagedBatch(batch->id(), ContentUrl::file(folder / "nowhere", true)));
}

TEST(StagingOnAFullDisk, GivesDiskSpaceAndLeavesNoBatchFolder_NeedsRootAndNamespaces) {
  testing::TemporaryFolder folder;
  std::string why;
  const bool ran = testing::in_private_mounts(
      [&] {
        if (!testing::mount_here("tmpfs", folder / "small", "size=256k", 0, why)) return;
        writeFile(folder / "big.bin", patternBytes(1 << 20));
        ContentCancellation cancellation;
        auto batch =
            prepareBatch({ContentUrl::file(folder / "big.bin")}, false, cancellation, {}, nullptr);
        const ContentUrl root = ContentUrl::file(folder / "small/staging", true);
        EXPECT_EQ(failureOf([&] { stageBatch(root, *batch, cancellation); }), Case::diskSpace);
        EXPECT_FALSE(std::filesystem::exists(root.path() / batch->id().to_string()));
      },
      why);
  if (!ran || !why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace velmorine::transfer
