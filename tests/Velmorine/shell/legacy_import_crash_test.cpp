// Crashes at every step: a child stages and finishes an import and is killed (SIGKILL) right
// after one step; the next launch must find D with its old data or with the whole import, never
// a mix, with no marker, pending folder or copy left, and the data it replaced kept.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Velmorine/shell/legacy_import_gate.h"
#include "Velmorine/workspace/main_queue.h"
#include "tests/Velmorine/shell/legacy_import_fixture.h"

namespace velmorine::shell {
namespace {

using namespace testing;

// One child process with its output read line by line.
class Child {
 public:
  explicit Child(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(output[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(output[1]);
    output_ = output[0];
  }
  ~Child() {
    kill();
    if (output_ >= 0) ::close(output_);
  }

  // The next line it prints; none when it ends or stays silent for a minute.
  std::optional<std::string> line() {
    while (true) {
      if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return line;
      }
      pollfd ready{output_, POLLIN, 0};
      if (::poll(&ready, 1, 60000) <= 0) return std::nullopt;
      char buffer[4096];
      const ssize_t got = ::read(output_, buffer, sizeof buffer);
      if (got <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
};

struct CrashCase {
  LegacyImportStep step;
  bool imported;  // whether the import must be whole in D at the next launch
};

class LegacyImportCrash : public ::testing::TestWithParam<CrashCase> {
 public:
  ImportHome home;
  std::shared_ptr<store::SystemIdentityKeychain> keychain = home.keychain();
  SourceFolder source{*keychain};
};

TEST_P(LegacyImportCrash, NextLaunchFindsOldDataOrTheWholeImport) {
  makeDataFolder(home.data(), *keychain, [](store::StoreDocument& document) {
    document.preferences.displayName = "Before";
  });
  writeFile(home.data() / "before.txt", "old");
  const auto before = treeOf(home.data());
  const std::string step(stepName(GetParam().step));

  Child child({VELMORINE_LEGACY_IMPORT_CHILD, home.data().string(),
               (home.root() / kKeychainFolderName).string(), kIdentityService, source.path.string(),
               step});
  std::optional<std::string> line;
  while ((line = child.line()) && line->starts_with("step ")) {
  }
  ASSERT_EQ(line, "stopped " + step);
  child.kill();

  // The next launch.
  auto dialogs = std::make_shared<ScriptedDialogs>();
  LegacyImportContext context;
  context.supported = true;
  context.dataFolder = home.data();
  context.keychain = keychain;
  context.dialogs = dialogs;
  context.mainQueue = workspace::postToMainQueue;
  int starts = 0;
  offerLegacyImportAtLaunch([&] { ++starts; }, context);
  EXPECT_EQ(starts, 1);
  EXPECT_TRUE(dialogs->alerts.empty());

  EXPECT_FALSE(fs::exists(home.data() / std::string(kFinishingMarkerName)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.pending())));
  EXPECT_TRUE(home.copies().empty());
  EXPECT_TRUE(home.unusedImports().empty());
  const auto previous = home.previousData();
  if (!GetParam().imported) {
    EXPECT_EQ(treeOf(home.data()), before);
    EXPECT_TRUE(previous.empty());
    return;
  }
  EXPECT_EQ(treeOf(home.data(), {"state-v1.json"}), treeOf(source.path, {"state-v1.json"}));
  const auto document = documentIn(home.data());
  EXPECT_EQ(document.preferences.displayName, "Source");
  EXPECT_FALSE(document.preferences.networkEnabled);
  EXPECT_EQ(document.trust, documentIn(source.path).trust);
  EXPECT_EQ(historyRecordCount(home.data()), 1u);
  // The data it replaced is kept; a crash between the two renames adds an empty one beside it.
  int kept = 0;
  for (const auto& name : previous) {
    const auto tree = treeOf(home.root() / name);
    if (tree == before) {
      ++kept;
    } else {
      EXPECT_TRUE(tree.empty()) << name;
    }
  }
  EXPECT_EQ(kept, 1);
  EXPECT_EQ(previous.size(), GetParam().step == LegacyImportStep::dataSetAside ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Steps, LegacyImportCrash,
                         ::testing::Values(CrashCase{LegacyImportStep::copying, false},
                                           CrashCase{LegacyImportStep::copied, false},
                                           CrashCase{LegacyImportStep::copyChecked, false},
                                           CrashCase{LegacyImportStep::historyRead, false},
                                           CrashCase{LegacyImportStep::synced, false},
                                           CrashCase{LegacyImportStep::staged, true},
                                           CrashCase{LegacyImportStep::markerWritten, true},
                                           CrashCase{LegacyImportStep::dataSetAside, true},
                                           CrashCase{LegacyImportStep::pendingSwapped, true},
                                           CrashCase{LegacyImportStep::documentAdjusted, true},
                                           CrashCase{LegacyImportStep::documentWritten, true},
                                           CrashCase{LegacyImportStep::markerRemoved, true}),
                         [](const auto& tested) {
                           return std::string(stepName(tested.param.step));
                         });

}  // namespace
}  // namespace velmorine::shell
