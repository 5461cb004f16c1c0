#include "Velmorine/transfer/atomic_receive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "Velmorine/transfer/content_failure.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/Velmorine/transfer/receive_payload.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using testing::patternBytes;

template <typename Body>
std::optional<Case> failureOf(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

const core::Uuid kId = *core::Uuid::parse("0A1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D3");

class Receive : public ::testing::Test {
 protected:
  testing::ReceiveFolder folder;
  std::filesystem::path D = folder / "D";
  std::filesystem::path stage = D / ".velmorine-0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3.partial";
  std::filesystem::path final = D / "Velmorine-0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3";
  testing::Payload payload{{{"album", std::nullopt},
                            {"album/inner", std::nullopt},
                            {"album/inner/big.bin", patternBytes((1 << 20) * 2 + 333, 9)},
                            {"album/empty", std::vector<std::uint8_t>{}},
                            {"note.txt", patternBytes(100, 4)}}};

  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
    std::filesystem::create_directories(D);
  }

  std::unique_ptr<AtomicReceive> start(ReceiveServices services = {}) {
    return payload.receiveInto(D, kId, std::move(services));
  }

  std::set<std::string> namesIn(const std::filesystem::path& path) const {
    std::set<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(path)) {
      names.insert(item.path().filename());
    }
    return names;
  }
};

TEST_F(Receive, LaysOutTheStageWithItsJournalAndFoldersBeforeAnyByte) {
  auto receive = start();
  EXPECT_EQ(namesIn(D), (std::set<std::string>{stage.filename()}));
  EXPECT_EQ(namesIn(stage), (std::set<std::string>{"journal.json", "payload"}));
  EXPECT_EQ(testing::treeOf(stage / "payload"),
            (std::map<std::string, std::optional<std::vector<std::uint8_t>>>{
                {"album", std::nullopt}, {"album/inner", std::nullopt}}));
  EXPECT_EQ(testing::lstatOf(stage).st_mode & 07777, 0700u);
  EXPECT_EQ(testing::lstatOf(stage / "payload/album").st_mode & 07777, 0700u);
  EXPECT_EQ(testing::lstatOf(stage / "journal.json").st_mode & 07777, 0600u);

  const store::ReceiveJournal& journal = receive->journal();
  const auto text = testing::readFile(stage / "journal.json");
  EXPECT_EQ(store::decodeReceiveJournal(store::FieldReader(
                store::Json::parse(std::string(text.begin(), text.end())), "journal")),
            journal);
  EXPECT_EQ(journal.schema, 1);
  EXPECT_EQ(journal.stageName, stage.filename());
  EXPECT_EQ(journal.finalName, final.filename());
  EXPECT_EQ(journal.rootInode, testing::lstatOf(D).st_ino);
  EXPECT_EQ(store::linuxDevice(journal.rootDevice), testing::lstatOf(D).st_dev);
  EXPECT_EQ(journal.stageInode, testing::lstatOf(stage).st_ino);
  EXPECT_EQ(journal.payloadInode, testing::lstatOf(stage / "payload").st_ino);
  EXPECT_EQ(receive->finalURL(), ContentUrl::file(final, true));
}

TEST_F(Receive, CommitsByOneRenameAndLeavesOnlyTheJournalToCleanUp) {
  auto receive = start();
  payload.sendFiles(*receive);
  EXPECT_EQ(receive->receivedBytes(), payload.totalBytes);
  EXPECT_EQ(receive->commit(), ContentUrl::file(final, true));
  EXPECT_EQ(namesIn(stage), (std::set<std::string>{"journal.json"}));
  EXPECT_EQ(testing::lstatOf(final).st_ino, receive->journal().payloadInode);
  const auto tree = testing::treeOf(final);
  EXPECT_EQ(tree.at("album/inner/big.bin"), payload.bytes.at(2));
  EXPECT_EQ(tree.at("album/empty"), std::vector<std::uint8_t>{});
  EXPECT_EQ(tree.at("note.txt"), payload.bytes.at(4));
  EXPECT_EQ(testing::lstatOf(final / "note.txt").st_mode & 07777, 0600u);

  receive->cancel();
  EXPECT_EQ(namesIn(D), (std::set<std::string>{final.filename()}));
  receive->cancel();  // a second cancel does nothing
  EXPECT_EQ(testing::treeOf(final), tree);
}

TEST_F(Receive, ChunkLimitsAndOrder) {
  payload = testing::Payload({{"big", patternBytes((1 << 20) + 2, 1)}});
  auto receive = start();
  const auto& data = payload.bytes.at(0);
  receive->beginFile(0);
  EXPECT_EQ(failureOf([&] { receive->write(0, 0, std::span(data).first((1 << 20) + 1)); }),
            Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->write(0, 1, std::span(data).first(10)); }),
            Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->write(0, 0, std::span(data).first(0)); }),
            Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->write(1, 0, std::span(data).first(10)); }),
            Case::invalidManifest);
  EXPECT_EQ(std::filesystem::file_size(stage / "payload/big"), 0u);  // nothing written
  receive->write(0, 0, std::span(data).first(1 << 20));              // exactly 1 MiB
  EXPECT_EQ(failureOf([&] { receive->write(0, 1 << 20, std::span(data).subspan((1 << 20) - 1)); }),
            Case::invalidManifest);  // would end beyond the size
  receive->write(0, 1 << 20, std::span(data).subspan(1 << 20));
  EXPECT_EQ(failureOf([&] { receive->beginFile(0); }), Case::invalidManifest);  // one at a time
  receive->finishFile(0);
  EXPECT_EQ(failureOf([&] { receive->beginFile(0); }), Case::invalidManifest);  // sealed
  EXPECT_NO_THROW(receive->commit());
}

TEST_F(Receive, OutOfOrderCallsAreRefused) {
  auto receive = start();
  EXPECT_EQ(failureOf([&] { receive->beginFile(0); }), Case::invalidManifest);  // a folder
  EXPECT_EQ(failureOf([&] { receive->beginFile(-1); }), Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->beginFile(5); }), Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->finishFile(4); }), Case::corrupt);
  EXPECT_EQ(failureOf([&] { receive->commit(); }), Case::incomplete);
  payload.sendFile(*receive, 2);
  payload.sendFile(*receive, 3);
  // The last file one byte short.
  const auto& note = payload.bytes.at(4);
  receive->beginFile(4);
  receive->write(4, 0, std::span(note).first(note.size() - 1));
  EXPECT_EQ(failureOf([&] { receive->finishFile(4); }), Case::corrupt);
  EXPECT_EQ(failureOf([&] { receive->commit(); }), Case::incomplete);
  EXPECT_TRUE(std::filesystem::exists(stage / "payload/note.txt"));

  receive->cancel();
  EXPECT_FALSE(std::filesystem::exists(stage));
  EXPECT_EQ(failureOf([&] { receive->finishFile(4); }), Case::corrupt);
  EXPECT_EQ(failureOf([&] { receive->beginFile(4); }), Case::invalidManifest);
  EXPECT_EQ(failureOf([&] { receive->write(4, 0, std::span(note).first(1)); }),
            Case::invalidManifest);
}

TEST_F(Receive, AWrongDigestIsCorrupt) {
  auto bytes = payload.bytes.at(4);
  bytes[7] ^= 1;
  auto receive = start();
  receive->beginFile(4);
  receive->write(4, 0, bytes);
  EXPECT_EQ(failureOf([&] { receive->finishFile(4); }), Case::corrupt);
}

TEST_F(Receive, ASealedFileTouchedButUnchangedIsAcceptedAndAChangedOneIsNot) {
  auto receive = start();
  payload.sendFiles(*receive);
  const auto note = stage / "payload/note.txt";
  testing::waitForClockPast(note);
  const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ASSERT_EQ(::utimensat(AT_FDCWD, note.c_str(), now, 0), 0);
  EXPECT_NO_THROW(receive->commit());

  // Another receive whose sealed file is rewritten in place.
  const core::Uuid other = core::Uuid::random();
  auto second = payload.receiveInto(D, other);
  payload.sendFiles(*second);
  const auto secondNote = D / (".velmorine-" + other.to_string() + ".partial") / "payload/note.txt";
  testing::rewriteKeepingModificationTime(secondNote);
  EXPECT_EQ(failureOf([&] { second->commit(); }), Case::changed);
}

TEST_F(Receive, ExistingFinalOrStageNamesAreConflictsAndStayUntouched) {
  std::filesystem::create_directories(final);
  testing::writeFile(final / "theirs", "x");
  EXPECT_EQ(failureOf([&] { start(); }), Case::conflict);
  EXPECT_EQ(namesIn(D), (std::set<std::string>{final.filename()}));
  std::filesystem::remove_all(final);

  std::filesystem::create_directories(stage);
  testing::writeFile(stage / "left-by-a-crash", "x");
  EXPECT_EQ(failureOf([&] { start(); }), Case::conflict);
  EXPECT_EQ(namesIn(stage), (std::set<std::string>{"left-by-a-crash"}));
}

TEST_F(Receive, AFinalNameThatAppearsBeforeTheCommitIsAConflictAndKeepsTheStage) {
  auto receive = start();
  payload.sendFiles(*receive);
  std::filesystem::create_directories(final);
  EXPECT_EQ(failureOf([&] { receive->commit(); }), Case::conflict);
  EXPECT_TRUE(std::filesystem::exists(stage / "payload/note.txt"));
  EXPECT_TRUE(std::filesystem::is_empty(final));
}

TEST_F(Receive, AStageReplacedByAnotherFolderIsNotRemoved) {
  auto receive = start();
  std::filesystem::rename(stage, D / "moved-stage");
  std::filesystem::create_directories(stage);
  testing::writeFile(stage / "someone-elses", "x");
  receive->cancel();
  EXPECT_TRUE(std::filesystem::exists(stage / "someone-elses"));
}

TEST_F(Receive, ADestinationRenamedMidReceiveFailsTheCommit) {
  auto receive = start();
  payload.sendFile(*receive, 2);
  std::filesystem::rename(D, folder / "D-renamed");
  // Chunks still land, through the open descriptors.
  payload.sendFile(*receive, 3);
  payload.sendFile(*receive, 4);
  EXPECT_EQ(failureOf([&] { receive->commit(); }), Case::changed);
  EXPECT_TRUE(
      std::filesystem::exists(folder / "D-renamed" / stage.filename() / "payload/note.txt"));
}

TEST_F(Receive, ALinkInPlaceOfAPayloadFolderTakesNothingOutside) {
  const auto outside = folder / "outside";
  std::filesystem::create_directories(outside);
  auto receive = start();
  std::filesystem::rename(stage / "payload/album/inner", stage / "payload/album/was-inner");
  std::filesystem::create_directory_symlink(outside, stage / "payload/album/inner");
  EXPECT_EQ(failureOf([&] { payload.sendFile(*receive, 2); }), Case::access);
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  receive->cancel();
  EXPECT_FALSE(std::filesystem::exists(stage));
  EXPECT_TRUE(std::filesystem::exists(outside));
}

TEST_F(Receive, LinksAtTheStageOrInsideItNeverLeadTheRemovalOutside) {
  const auto outside = folder / "outside";
  std::filesystem::create_directories(outside / "deep");
  testing::writeFile(outside / "deep/precious", "keep");
  const auto before = testing::treeOf(outside);

  // A link inside the stage: the link goes, what it points to stays.
  auto first = start();
  std::filesystem::create_directory_symlink(outside, stage / "payload/album/evil");
  first->cancel();
  EXPECT_FALSE(std::filesystem::exists(stage));
  EXPECT_EQ(testing::treeOf(outside), before);

  // The stage itself swapped for a link: nothing is removed.
  const core::Uuid other = core::Uuid::random();
  auto second = payload.receiveInto(D, other);
  const auto otherStage = D / (".velmorine-" + other.to_string() + ".partial");
  std::filesystem::rename(otherStage, D / "real-stage");
  std::filesystem::create_directory_symlink(outside, otherStage);
  second->cancel();
  EXPECT_TRUE(std::filesystem::is_symlink(otherStage));
  EXPECT_EQ(testing::treeOf(outside), before);
}

TEST_F(Receive, LinksAtTheFinalOrStageNameAreConflictsAndStayUntouched) {
  const auto outside = folder / "outside";
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink(outside, final);
  EXPECT_EQ(failureOf([&] { start(); }), Case::conflict);
  EXPECT_TRUE(std::filesystem::is_symlink(final));
  std::filesystem::remove(final);
  std::filesystem::create_directory_symlink(outside, stage);
  EXPECT_EQ(failureOf([&] { start(); }), Case::conflict);
  EXPECT_TRUE(std::filesystem::is_symlink(stage));
  EXPECT_TRUE(std::filesystem::is_empty(outside));
}

TEST_F(Receive, TheDeepestNestingThePathLimitAllowsGoesThrough) {
  // 511 nested one-letter folders and a file: a path of 1023 bytes.
  std::vector<testing::PayloadItem> items;
  std::string path;
  for (int depth = 0; depth < 511; ++depth) {
    path += depth == 0 ? "a" : "/a";
    items.push_back({path, std::nullopt});
  }
  items.push_back({path + "/f", patternBytes(10)});
  ASSERT_EQ((path + "/f").size(), 1023u);
  payload = testing::Payload(items);
  auto receive = start();
  payload.sendFiles(*receive);
  EXPECT_EQ(receive->commit(), ContentUrl::file(final, true));
  EXPECT_EQ(testing::readFile(final / (path + "/f")), patternBytes(10));
}

TEST_F(Receive, ADestinationThatIsNotAFolderIsAnAccessFailure) {
  testing::writeFile(folder / "file", "x");
  EXPECT_EQ(failureOf([&] { payload.receiveInto(folder / "file", kId); }), Case::access);
  EXPECT_EQ(failureOf([&] { payload.receiveInto(folder / "missing", kId); }), Case::access);
}

}  // namespace
}  // namespace velmorine::transfer
