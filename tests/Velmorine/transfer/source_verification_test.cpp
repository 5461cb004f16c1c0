#include "Velmorine/transfer/source_verification.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_preparation.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using Stage = SourceVerificationFailure::Stage;
using testing::patternBytes;
using testing::writeFile;

// A prepared batch of the folder "root" (root/top.txt, root/sub/deep.bin) and the file
// "single.bin", with every verification report collected.
class PreparedSources : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  std::filesystem::path root = folder / "root";
  std::vector<std::uint8_t> deep = patternBytes(kReadChunkBytes * 2 + 5, 7);
  std::vector<SourceVerificationFailure> reports;
  ContentCancellation cancellation;
  std::shared_ptr<PreparedBatch> batch;

  void SetUp() override {
    std::filesystem::create_directories(root / "sub");
    writeFile(root / "top.txt", "top");
    writeFile(root / "sub/deep.bin", deep);
    writeFile(folder / "single.bin", patternBytes(100, 3));
    writeFile(root / "empty", "");
    prepareAgain();
  }

  void prepareAgain() {
    batch = prepareBatch({ContentUrl::file(root, true), ContentUrl::file(folder / "single.bin")},
                         false, cancellation, {}, [this](const SourceVerificationFailure& failure) {
                           reports.push_back(failure);
                         });
  }

  std::int64_t indexOf(const std::string& path) const {
    for (const auto& entry : batch->entries()) {
      if (entry.path == path) return entry.index;
    }
    throw std::runtime_error("no entry " + path);
  }

  std::vector<std::uint8_t> readAll(PreparedReader& reader) {
    std::vector<std::uint8_t> bytes;
    while (auto chunk = reader.next(cancellation)) {
      EXPECT_LE(chunk->size(), kReadChunkBytes);
      bytes.insert(bytes.end(), chunk->begin(), chunk->end());
    }
    return bytes;
  }

  std::optional<Case> openFailure(const std::string& path) {
    try {
      batch->openReader(indexOf(path));
      return std::nullopt;
    } catch (const ContentFailure& failure) {
      return failure.failure();
    }
  }
};

TEST_F(PreparedSources, ReadersStreamExactlyThePreparedBytes) {
  auto reader = batch->openReader(indexOf("root/sub/deep.bin"));
  EXPECT_EQ(readAll(*reader), deep);
  EXPECT_EQ(reader->offset(), deep.size());
  EXPECT_EQ(readAll(*batch->openReader(indexOf("single.bin"))), patternBytes(100, 3));
  // A zero-length file ends at the first call, its digest being that of no bytes.
  auto empty = batch->openReader(indexOf("root/empty"));
  EXPECT_EQ(empty->next(cancellation), std::nullopt);
  EXPECT_TRUE(reports.empty());
}

TEST_F(PreparedSources, AReaderKeepsItsBatchAlive) {
  auto reader = batch->openReader(indexOf("root/top.txt"));
  const std::weak_ptr<PreparedBatch> weak = batch;
  batch.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(readAll(*reader), (std::vector<std::uint8_t>{'t', 'o', 'p'}));
  reader.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(PreparedSources, FoldersAndIndexesOutOfRangeHaveNoReader) {
  for (std::int64_t index :
       {std::int64_t{-1}, std::int64_t{0}, static_cast<std::int64_t>(batch->entries().size())}) {
    try {
      batch->openReader(index);
      ADD_FAILURE() << index;
    } catch (const ContentFailure& failure) {
      EXPECT_EQ(failure.failure(), Case::invalidManifest);
    }
  }
}

TEST_F(PreparedSources, CancellingStopsTheNextChunk) {
  auto reader = batch->openReader(indexOf("root/sub/deep.bin"));
  ASSERT_TRUE(reader->next(cancellation));
  cancellation.cancel();
  EXPECT_THROW(reader->next(cancellation), ContentFailure);
}

// Changes made after preparation and before the source is reopened.
struct ChangeBeforeReopening {
  const char* name;
  std::string path;  // the entry opened
  std::function<void(const std::filesystem::path& folder)> change;
  SourceVerificationFailure report;
};

void PrintTo(const ChangeBeforeReopening& change, std::ostream* out) { *out << change.name; }

class ChangesBeforeReopening : public PreparedSources,
                               public ::testing::WithParamInterface<ChangeBeforeReopening> {};

TEST_P(ChangesBeforeReopening, AreReportedAndRefusedAsChanged) {
  GetParam().change(folder.path());
  EXPECT_EQ(openFailure(GetParam().path), Case::changed);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangesBeforeReopening,
    ::testing::Values(
        ChangeBeforeReopening{"RenamedInSubfolder",
                              "root/sub/deep.bin",
                              [](const auto& f) {
                                std::filesystem::rename(f / "root/sub/deep.bin", f / "root/sub/x");
                              },
                              {Stage::reopenDescendant, {}}},
        ChangeBeforeReopening{"RenamedInSelectedFolder",
                              "root/top.txt",
                              [](const auto& f) {
                                testing::waitForClockPast(f / "root");
                                std::filesystem::rename(f / "root/top.txt", f / "root/x");
                              },
                              {Stage::reopenRoot, {"mtime", "ctime"}}},
        ChangeBeforeReopening{"RewrittenInPlace",
                              "root/top.txt",
                              [](const auto& f) {
                                testing::waitForClockPast(f / "root/top.txt");
                                writeFile(f / "root/top.txt", "TOP");
                              },
                              {Stage::reopenFile, {"mtime", "ctime"}}},
        ChangeBeforeReopening{
            "RewrittenWithRestoredTime",
            "root/sub/deep.bin",
            [](const auto& f) { testing::rewriteKeepingModificationTime(f / "root/sub/deep.bin"); },
            {Stage::reopenFile, {"ctime"}}},
        ChangeBeforeReopening{"SubfolderSwappedForALink",
                              "root/sub/deep.bin",
                              [](const auto& f) {
                                testing::waitForClockPast(f / "root");
                                std::filesystem::rename(f / "root/sub", f / "elsewhere");
                                std::filesystem::create_symlink(f / "elsewhere", f / "root/sub");
                              },
                              {Stage::reopenRoot, {"mtime", "ctime"}}},
        ChangeBeforeReopening{"SelectedFileSwappedForALink",
                              "single.bin",
                              [](const auto& f) {
                                testing::waitForClockPast(f / "single.bin");
                                std::filesystem::rename(f / "single.bin", f / "moved.bin");
                                std::filesystem::create_symlink(f / "moved.bin", f / "single.bin");
                              },
                              {Stage::reopenRoot, {"inode", "size", "mode", "mtime", "ctime"}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A FIFO or socket put in a source's place is refused from its status and never opened.
struct Intruder {
  const char* name;
  std::string path;  // the entry, relative to the test folder
  bool fifo;         // else a socket
};

void PrintTo(const Intruder& intruder, std::ostream* out) { *out << intruder.name; }

class IntrudersInASourcesPlace : public PreparedSources,
                                 public ::testing::WithParamInterface<Intruder> {};

TEST_P(IntrudersInASourcesPlace, AreNeverOpened) {
  const auto node = folder / GetParam().path;
  std::filesystem::remove(node);
  std::optional<testing::BoundSocket> socket;
  if (GetParam().fifo) {
    ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
  } else {
    socket.emplace(node);
  }
  const testing::OpenWatch watch(node);
  EXPECT_EQ(openFailure(GetParam().path), Case::changed);
  EXPECT_FALSE(watch.opened());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(std::find(reports[0].fields.begin(), reports[0].fields.end(), "mode"),
            reports[0].fields.end());
}

INSTANTIATE_TEST_SUITE_P(Nodes, IntrudersInASourcesPlace,
                         ::testing::Values(Intruder{"FifoInFolder", "root/sub/deep.bin", true},
                                           Intruder{"SocketInFolder", "root/sub/deep.bin", false},
                                           Intruder{"FifoSelected", "single.bin", true},
                                           Intruder{"SocketSelected", "single.bin", false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Changes between two chunks of an open reader.
struct ChangeBetweenChunks {
  const char* name;
  std::function<void(const std::filesystem::path& file)> change;
  SourceVerificationFailure report;
};

void PrintTo(const ChangeBetweenChunks& change, std::ostream* out) { *out << change.name; }

class ChangesBetweenChunks : public PreparedSources,
                             public ::testing::WithParamInterface<ChangeBetweenChunks> {};

TEST_P(ChangesBetweenChunks, StopTheReader) {
  auto reader = batch->openReader(indexOf("root/sub/deep.bin"));
  ASSERT_TRUE(reader->next(cancellation));
  GetParam().change(root / "sub/deep.bin");
  try {
    while (reader->next(cancellation)) {
    }
    FAIL() << "the changed file was read to its end";
  } catch (const ContentFailure& failure) {
    EXPECT_EQ(failure.failure(), Case::changed);
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangesBetweenChunks,
    ::testing::Values(
        ChangeBetweenChunks{"Truncated",
                            [](const auto& file) {
                              testing::waitForClockPast(file);
                              std::filesystem::resize_file(file, 10);
                            },
                            {Stage::readMetadata, {"size", "mtime", "ctime"}}},
        ChangeBetweenChunks{"Appended",
                            [](const auto& file) {
                              testing::waitForClockPast(file);
                              std::ofstream(file, std::ios::app) << "more";
                            },
                            {Stage::readMetadata, {"size", "mtime", "ctime"}}},
        ChangeBetweenChunks{"RewrittenWithRestoredTime",
                            [](const auto& file) { testing::rewriteKeepingModificationTime(file); },
                            {Stage::readMetadata, {"ctime"}}},
        // The reader stays on the prepared file, which loses its last name: that is a change.
        ChangeBetweenChunks{"NameReplaced",
                            [](const auto& file) {
                              testing::waitForClockPast(file);
                              writeFile(file.parent_path() / "new", "new");
                              std::filesystem::rename(file.parent_path() / "new", file);
                            },
                            {Stage::readMetadata, {"ctime"}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(PreparedSources, ADigestThatDoesNotMatchIsFoundAtTheEnd) {
  // The bytes of a file edited in place without any stamp change reach only the digest: the
  // same sources under a manifest whose digest disagrees stand for it.
  std::vector<ContentEntry> entries = batch->entries();
  const auto index = static_cast<std::size_t>(indexOf("root/top.txt"));
  entries[index].sha256 = std::string(64, '0');
  std::vector<std::unique_ptr<ScopedContentAccess>> access;
  for (std::size_t i = 0; i < batch->roots().size(); ++i) {
    access.push_back(ScopedContentAccess::start(batch->access(i).url()));
  }
  auto edited = std::make_shared<PreparedBatch>(
      batch->id(), entries, batch->totalBytes(), batch->topLevelCount(), std::move(access),
      batch->roots(), batch->sources(),
      [this](const SourceVerificationFailure& failure) { reports.push_back(failure); });
  auto reader = edited->openReader(static_cast<std::int64_t>(index));
  ASSERT_TRUE(reader->next(cancellation));
  EXPECT_THROW(reader->next(cancellation), ContentFailure);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (SourceVerificationFailure{Stage::readDigest, {}}));
}

TEST(VerificationFailureLine, NamesTheStageAndTheFields) {
  EXPECT_EQ(verificationFailureLine({Stage::reopenFile, {"mtime", "ctime"}}),
            "Velmorine: source verification failed (reopenFile; fields=mtime,ctime)");
  EXPECT_EQ(verificationFailureLine({Stage::readEOF, {}}),
            "Velmorine: source verification failed (readEOF; fields=)");
}

}  // namespace
}  // namespace velmorine::transfer
