// A receive killed at every point it passes: a child process runs it and stops at each
// test-only checkpoint until told to go on; the parent kills it with SIGKILL at one of them and
// then settles what is left with the journal the child had handed over, as the next start
// would.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "Velmorine/transfer/atomic_receive.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/Velmorine/transfer/receive_payload.h"

namespace velmorine::transfer {
namespace {

using testing::patternBytes;

struct CrashRun {
  int checkpoints = 0;  // passed before the end or the kill
  bool killed = false;
  std::string lastPoint;
  std::optional<store::ReceiveJournal> journal;  // as the store would keep it
};

void writeLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(3);
}

// The child's whole life: a receive, its commit and its cleanup.
[[noreturn]] void runChild(const testing::Payload& payload, const std::filesystem::path& D,
                           const core::Uuid& id, int toParent, int fromParent) {
  ReceiveServices services;
  services.checkpoint = [&](std::string_view point) {
    writeLine(toParent, "cp " + std::string(point));
    char go = 0;
    if (::read(fromParent, &go, 1) != 1) _exit(3);
  };
  try {
    auto receive = payload.receiveInto(D, id, services);
    writeLine(toParent, "journal " + store::encodeReceiveJournal(receive->journal()).dump());
    payload.sendFiles(*receive);
    receive->commit();
    receive->cancel();
  } catch (...) {
    _exit(2);
  }
  _exit(0);
}

// Runs the child and kills it at checkpoint number `killAt` (from 1; 0: never).
CrashRun runUntil(const testing::Payload& payload, const std::filesystem::path& D,
                  const core::Uuid& id, int killAt) {
  int up[2];
  int down[2];
  if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    ::close(up[0]);
    ::close(down[1]);
    runChild(payload, D, id, up[1], down[0]);
  }
  ::close(up[1]);
  ::close(down[0]);
  FILE* lines = ::fdopen(up[0], "r");
  CrashRun run;
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  while ((length = ::getline(&line, &capacity, lines)) > 0) {
    std::string text(line, static_cast<std::size_t>(length - 1));
    if (text.starts_with("journal ")) {
      run.journal = store::decodeReceiveJournal(
          store::FieldReader(store::Json::parse(text.substr(8)), "journal"));
      continue;
    }
    ++run.checkpoints;
    run.lastPoint = text.substr(3);
    if (run.checkpoints == killAt) {
      ::kill(child, SIGKILL);
      run.killed = true;
      break;
    }
    if (::write(down[1], "c", 1) != 1) break;
  }
  std::free(line);
  std::fclose(lines);
  ::close(down[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (run.killed) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << run.lastPoint;
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's receive failed";
  }
  return run;
}

std::string sha256sum(const std::filesystem::path& file) {
  const std::string command = "sha256sum -- '" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  char digest[65] = {};
  const bool read = pipe != nullptr && std::fread(digest, 1, 64, pipe) == 64;
  if (pipe != nullptr) ::pclose(pipe);
  return read ? std::string(digest, 64) : std::string();
}

class ReceiveCrash : public ::testing::Test {
 protected:
  testing::ReceiveFolder folder;
  testing::Payload payload{{{"album", std::nullopt},
                            {"album/sub", std::nullopt},
                            {"album/empty", std::vector<std::uint8_t>{}},
                            {"album/sub/big.bin", patternBytes((1 << 20) * 2 + (1 << 19), 3)},
                            {"album/note.txt", patternBytes(700, 8)}}};

  core::Uuid other = core::Uuid::random();

  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
  }

  // A destination holding things of others that nothing may touch.
  std::filesystem::path destinationWithDecoys(const std::string& name) {
    const auto D = folder / name;
    std::filesystem::create_directories(D / ("Velmorine-" + other.to_string()));
    testing::writeFile(D / ("Velmorine-" + other.to_string()) / "theirs.txt", "theirs");
    std::filesystem::create_directories(D / (".velmorine-" + other.to_string() + ".partial"));
    testing::writeFile(D / (".velmorine-" + other.to_string() + ".partial") / "journal.json", "{}");
    testing::writeFile(D / "notes.txt", "mine");
    return D;
  }

  void expectWholeFinalFolder(const std::filesystem::path& final) {
    std::set<std::string> expected;
    for (const auto& entry : payload.entries) expected.insert(entry.path);
    std::set<std::string> found;
    for (const auto& [path, bytes] : testing::treeOf(final)) found.insert(path);
    EXPECT_EQ(found, expected);
    for (const auto& entry : payload.entries) {
      if (!entry.directory) {
        EXPECT_EQ(sha256sum(final / entry.path), entry.sha256) << entry.path;
      }
    }
  }
};

TEST_F(ReceiveCrash, EveryKillLeavesNothingOrTheWholeFolderAfterRecovery) {
  const core::Uuid id = core::Uuid::random();
  const std::string stageName = stageNameFor(id);
  const std::string finalName = finalNameFor(id);

  const auto untouched = destinationWithDecoys("D0");
  const auto decoys = testing::treeOf(untouched);
  const CrashRun whole = runUntil(payload, untouched, id, 0);
  ASSERT_FALSE(whole.killed);
  ASSERT_GT(whole.checkpoints, 15);
  expectWholeFinalFolder(untouched / finalName);
  EXPECT_FALSE(std::filesystem::exists(untouched / stageName));

  std::set<std::string> killedAt;
  for (int killAt = 1; killAt <= whole.checkpoints; ++killAt) {
    const auto D = destinationWithDecoys("D" + std::to_string(killAt));
    const CrashRun run = runUntil(payload, D, id, killAt);
    ASSERT_TRUE(run.killed);
    killedAt.insert(run.lastPoint);
    SCOPED_TRACE("killed at " + run.lastPoint + " (checkpoint " + std::to_string(killAt) + ")");

    auto tree = testing::treeOf(D);
    if (!run.journal) {
      // Killed inside the receive's set-up: its journal never reached the store, so nothing
      // recovers it, and at most its stage is left.
      std::erase_if(tree, [&](const auto& item) { return item.first.starts_with(stageName); });
      EXPECT_EQ(tree, decoys);
      continue;
    }
    const auto first = AtomicReceive::recoverStaleStages(ContentUrl::file(D, true), *run.journal);
    const auto second = AtomicReceive::recoverStaleStages(ContentUrl::file(D, true), *run.journal);
    EXPECT_EQ(first, second);
    EXPECT_FALSE(std::filesystem::exists(D / stageName));
    tree = testing::treeOf(D);
    if (first) {
      EXPECT_EQ(*first, ContentUrl::file(D / finalName, true));
      expectWholeFinalFolder(D / finalName);
      std::erase_if(tree, [&](const auto& item) { return item.first.starts_with(finalName); });
    }
    EXPECT_EQ(tree, decoys);
  }
  // Through the set-up, every file step, both sides of the rename and the stage's removal.
  EXPECT_EQ(killedAt,
            (std::set<std::string>{"init.stage", "init.payload", "init.journal", "init.folders",
                                   "file.begun", "file.chunk", "file.sealed", "commit.verified",
                                   "commit.synced", "commit.renamed", "commit.done",
                                   "cancel.removing", "stage.unlinked", "cancel.done"}));
}

}  // namespace
}  // namespace velmorine::transfer
