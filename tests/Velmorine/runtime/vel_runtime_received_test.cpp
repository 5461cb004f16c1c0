// The received-files index as the user acts on it: forgetting an item, relinking a moved
// folder, opening the "Received" folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <expected>
#include <fstream>

#include "platform/bookmarks/bookmarks.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

namespace fs = std::filesystem;
using testing::RuntimeWorld;
using testing::TestRuntime;
using Case = transfer::ContentFailure::Case;

enum class Operation { forget, relink, open };

// What is done to the surroundings before the operation runs.
enum class Arrangement {
  plain,
  unlistedTransfer,  // acts on a transfer without an index entry
  upperCaseName,     // relinks a folder named with the upper-case identifier
  linkedFolder,      // relinks a symbolic link of the right name to the moved folder
  plainFile,         // relinks a file of the right name
  missingFolder,     // relinks a path where nothing is
  relativePath,      // relinks a relative path
  brokenStore,       // every write of the store fails
  notStarted,        // the store is not open
  shuttingDown,      // the runtime shuts down before the operation runs
  linkedReceived,    // "Received" in the data folder is a symbolic link to another folder
};

struct ReceivedCase {
  const char* name;
  Operation operation;
  Arrangement setup;
  bool succeeds;
  // The status afterwards; empty: as before.
  const char* status = "";
};

class RuntimeReceived : public ::testing::TestWithParam<ReceivedCase> {
 protected:
  const core::Uuid kKept1 = *core::Uuid::parse("11111111-1111-4111-8111-111111111111");
  const core::Uuid kTarget = *core::Uuid::parse("2222AAAA-2222-4222-8222-22222222BBBB");
  const core::Uuid kKept2 = *core::Uuid::parse("33333333-3333-4333-8333-333333333333");
  const core::Uuid kUnlisted = *core::Uuid::parse("44444444-4444-4444-8444-444444444444");
  const store::Date kFirstCommit{800000000};
  const store::Date kLaterCommit{800000500};

  static std::string folderName(const core::Uuid& id) { return "Velmorine-" + id.to_string(); }

  // The index: the target twice (once committed earlier), between two other transfers, each
  // with its folder under `downloads`.
  void seedIndex() {
    std::vector<store::ReceiveIndexEntry> entries;
    for (const auto& [id, at] :
         {std::pair{kKept1, kFirstCommit}, std::pair{kTarget, kFirstCommit},
          std::pair{kKept2, kFirstCommit}, std::pair{kTarget, kLaterCommit}}) {
      const fs::path folder = downloads / folderName(id);
      fs::create_directories(folder);
      std::ofstream(folder / "photo.jpg") << "bytes";
      entries.push_back({id, platform::create_bookmark(folder, false), at});
    }
    runtime.onQueue([&] {
      runtime->store->update([&](store::StoreDocument& document) { document.received = entries; });
    });
    runtime->removeReceivedRecord(kUnlisted.to_string());  // publishes the seeded index
    runtime.settle();
  }

  std::vector<store::ReceiveIndexEntry> stored() {
    return runtime.onQueue([&] { return runtime->store->document().received; });
  }

  static std::vector<core::Uuid> ids(const std::vector<store::ReceiveIndexEntry>& entries) {
    std::vector<core::Uuid> result;
    for (const auto& entry : entries) result.push_back(entry.transferID);
    return result;
  }

  // The folder the relink is given, after the target's folder was moved into "moved".
  fs::path relinkPath(Arrangement setup) {
    const fs::path moved = downloads / "moved";
    fs::create_directories(moved);
    const fs::path folder = moved / folderName(kTarget);
    fs::rename(downloads / folderName(kTarget), folder);
    std::string upper = folderName(kTarget);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    upper.replace(0, 10, "Velmorine-");
    switch (setup) {
      case Arrangement::unlistedTransfer:
        fs::create_directories(moved / folderName(kUnlisted));
        return moved / folderName(kUnlisted);
      case Arrangement::upperCaseName:
        fs::rename(folder, moved / upper);
        return moved / upper;
      case Arrangement::linkedFolder:
        fs::create_directories(downloads / "links");
        fs::create_directory_symlink(folder, downloads / "links" / folderName(kTarget));
        return downloads / "links" / folderName(kTarget);
      case Arrangement::plainFile:
        fs::create_directories(downloads / "files");
        std::ofstream(downloads / "files" / folderName(kTarget)) << "not a folder";
        return downloads / "files" / folderName(kTarget);
      case Arrangement::missingFolder:
        return downloads / "gone" / folderName(kTarget);
      case Arrangement::relativePath:
        return fs::path("moved") / folderName(kTarget);
      default:
        return folder;
    }
  }

  template <typename Result, typename Operation>
  std::optional<Result> complete(Operation operation) {
    std::optional<Result> result;
    operation([&](Result value) { result.emplace(std::move(value)); });
    EXPECT_TRUE(world.main.waitUntil([&] { return result.has_value(); }));
    return result;
  }

  void forget(const ReceivedCase& row);
  void relink(const ReceivedCase& row);
  void open(const ReceivedCase& row);

  velmorine::testing::TemporaryFolder downloads;
  RuntimeWorld world;
  TestRuntime runtime{world};
};

void RuntimeReceived::forget(const ReceivedCase& row) {
  if (row.setup == Arrangement::notStarted) {
    runtime->removeReceivedRecord(kTarget.to_string());
    runtime.settle();
    EXPECT_TRUE(runtime.snapshots.empty());
    return;
  }
  const auto before = stored();
  const size_t published = runtime.snapshots.size();
  runtime->removeReceivedRecord(
      (row.setup == Arrangement::unlistedTransfer ? kUnlisted : kTarget).to_string());
  runtime.settle();
  // A snapshot follows in every case, and the received files stay where they are.
  EXPECT_GT(runtime.snapshots.size(), published);
  EXPECT_TRUE(fs::exists(downloads / folderName(kTarget) / "photo.jpg"));
  const auto after = stored();
  if (row.succeeds) {
    EXPECT_EQ(ids(after), (std::vector{kKept1, kKept2}));
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[2]);
  } else {
    EXPECT_EQ(after, before);
  }
  EXPECT_EQ(ids(runtime.latest().received), ids(after));
}

void RuntimeReceived::relink(const ReceivedCase& row) {
  const auto before = stored();
  const fs::path folder = relinkPath(row.setup);
  std::optional<testing::BrokenStoreWrites> broken;
  if (row.setup == Arrangement::brokenStore) broken.emplace(runtime.folder());
  const size_t published = runtime.snapshots.size();
  const auto id = row.setup == Arrangement::unlistedTransfer ? kUnlisted : kTarget;
  // The identifier as the interface may hold it, upper-case.
  std::string idText = id.to_string();
  std::transform(idText.begin(), idText.end(), idText.begin(), ::toupper);
  const auto result = complete<std::optional<store::ReceiveIndexEntry>>(
      [&](auto done) { runtime->relinkReceivedFolder(folder, idText, done); });
  ASSERT_TRUE(result);
  runtime.settle();
  if (broken) broken->mend();
  if (!row.succeeds) {
    // Nothing written, nothing published, no reason given.
    EXPECT_FALSE(*result);
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(runtime.snapshots.size(), published);
    return;
  }
  ASSERT_TRUE(*result);
  const auto& entry = **result;
  EXPECT_EQ(entry.transferID, kTarget);
  EXPECT_EQ(entry.committedAt, kFirstCommit);
  const auto resolved = platform::resolve_bookmark(entry.containerBookmark);
  EXPECT_FALSE(resolved.stale);
  EXPECT_EQ(resolved.path, folder);
  // Every entry of the transfer now holds the new one; the others are untouched.
  const auto after = stored();
  ASSERT_EQ(ids(after), ids(before));
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], entry);
  EXPECT_EQ(after[2], before[2]);
  EXPECT_EQ(after[3], entry);
  EXPECT_GT(runtime.snapshots.size(), published);
  EXPECT_EQ(runtime.latest().received, after);
}

void RuntimeReceived::open(const ReceivedCase& row) {
  using Opened = std::expected<fs::path, Case>;
  const auto openOnce = [&] {
    return complete<Opened>([&](auto done) { runtime->openReceivedFolder(done); });
  };
  const fs::path received = runtime.folder() / "Received";
  if (row.setup == Arrangement::linkedReceived) {
    fs::create_directories(downloads / "elsewhere");
    fs::create_directory_symlink(downloads / "elsewhere", received);
  }
  if (row.setup == Arrangement::shuttingDown) runtime->shutdown();
  const auto first = openOnce();
  ASSERT_TRUE(first);
  if (!row.succeeds) {
    ASSERT_FALSE(first->has_value());
    EXPECT_EQ(first->error(), Case::access);
    if (row.setup == Arrangement::linkedReceived) {
      EXPECT_TRUE(fs::is_empty(downloads / "elsewhere"));
    }
    return;
  }
  ASSERT_TRUE(first->has_value()) << static_cast<int>(first->error());
  EXPECT_EQ(**first, received);
  struct stat status {};
  ASSERT_EQ(::lstat(received.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  // Opened again: the same folder, made only once (what it holds stays).
  std::ofstream(received / "kept") << "x";
  const auto second = openOnce();
  ASSERT_TRUE(second && second->has_value());
  EXPECT_EQ(**second, received);
  EXPECT_TRUE(fs::exists(received / "kept"));
}

TEST_P(RuntimeReceived, ActsOnTheIndexAsTheRowSays) {
  const auto& row = GetParam();
  if (row.setup != Arrangement::notStarted) {
    ASSERT_TRUE(runtime.start());
    seedIndex();
  }
  const std::string status = runtime.snapshots.empty() ? "" : runtime.latest().status;
  switch (row.operation) {
    case Operation::forget:
      if (row.setup == Arrangement::brokenStore) {
        testing::BrokenStoreWrites broken(runtime.folder());
        forget(row);
      } else {
        forget(row);
      }
      break;
    case Operation::relink:
      relink(row);
      break;
    case Operation::open:
      open(row);
      break;
  }
  if (!runtime.snapshots.empty() && row.setup != Arrangement::notStarted) {
    EXPECT_EQ(runtime.latest().status, *row.status ? std::string(row.status) : status);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, RuntimeReceived,
    ::testing::Values(ReceivedCase{"ForgetRemovesEveryEntryOfTheTransferInOrder", Operation::forget,
                                   Arrangement::plain, true},
                      ReceivedCase{"ForgetOfAnUnlistedTransferWritesNothing", Operation::forget,
                                   Arrangement::unlistedTransfer, false},
                      ReceivedCase{"ForgetWithoutAStoreDoesNothing", Operation::forget,
                                   Arrangement::notStarted, false},
                      ReceivedCase{"ForgetThatCannotBeStoredReportsStorage", Operation::forget,
                                   Arrangement::brokenStore, false, "storage.unavailable"},
                      ReceivedCase{"RelinkOfTheLowerCaseFolderKeepsTheCommitDate",
                                   Operation::relink, Arrangement::plain, true},
                      ReceivedCase{"RelinkOfAnUpperCaseFolderFails", Operation::relink,
                                   Arrangement::upperCaseName, false},
                      ReceivedCase{"RelinkOfAnUnlistedTransferFails", Operation::relink,
                                   Arrangement::unlistedTransfer, false},
                      ReceivedCase{"RelinkOfALinkToTheFolderFails", Operation::relink,
                                   Arrangement::linkedFolder, false},
                      ReceivedCase{"RelinkOfAFileFails", Operation::relink, Arrangement::plainFile,
                                   false},
                      ReceivedCase{"RelinkOfAMissingFolderFails", Operation::relink,
                                   Arrangement::missingFolder, false},
                      ReceivedCase{"RelinkOfARelativePathFails", Operation::relink,
                                   Arrangement::relativePath, false},
                      ReceivedCase{"RelinkThatCannotBeStoredFailsQuietly", Operation::relink,
                                   Arrangement::brokenStore, false},
                      ReceivedCase{"OpenTwiceGivesTheSameFolderMadeOnce", Operation::open,
                                   Arrangement::plain, true},
                      ReceivedCase{"OpenRefusesALinkedReceivedFolder", Operation::open,
                                   Arrangement::linkedReceived, false},
                      ReceivedCase{"OpenBeforeTheStoreIsOpenFails", Operation::open,
                                   Arrangement::notStarted, false},
                      ReceivedCase{"OpenWhileShuttingDownFails", Operation::open,
                                   Arrangement::shuttingDown, false}),
    [](const ::testing::TestParamInfo<ReceivedCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace velmorine::runtime
