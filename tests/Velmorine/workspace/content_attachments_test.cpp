#include "Velmorine/workspace/content_attachments.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <deque>
#include <fstream>

#include "tests/support/temporary_folder.h"

namespace velmorine::workspace {
namespace {

class ManualExecutor final : public transfer::Executor {
 public:
  void post(std::function<void()> work) override { pending.push_back(std::move(work)); }
  void runAll() {
    while (!pending.empty()) {
      auto next = std::move(pending.front());
      pending.pop_front();
      next();
    }
  }
  std::deque<std::function<void()>> pending;
};

class NoChooser final : public transfer::AttachmentChooser {
 public:
  void choose(std::function<void(std::optional<std::vector<transfer::ContentUrl>>)>) override {
    ++shown;
  }
  int shown = 0;
};

class ContentAttachmentsTest : public ::testing::Test {
 protected:
  ContentAttachmentsTest() {
    std::ofstream(folder / "note.txt") << "note";
    std::filesystem::create_directory(folder / "album");
    std::ofstream(folder / "album" / "one.txt") << "one";
    attachments = std::make_unique<ContentAttachments>(
        transfer::AttachmentPreparation::create(std::nullopt, {main, work, chooser, {}, nullptr}));
  }
  void settle() {
    while (!work->pending.empty() || !main->pending.empty()) {
      work->runAll();
      main->runAll();
    }
  }

  velmorine::testing::TemporaryFolder folder;
  std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualExecutor> work = std::make_shared<ManualExecutor>();
  std::shared_ptr<NoChooser> chooser = std::make_shared<NoChooser>();
  std::unique_ptr<ContentAttachments> attachments;
};

TEST_F(ContentAttachmentsTest, ADropBecomesSelectionsFilesAndFoldersAlikeAndIsPrepared) {
  const auto generation = attachments->beginImport();
  EXPECT_EQ(attachments->pendingImports(), 1);
  attachments->importFinished({folder / "note.txt", folder / "album"}, false, generation);
  EXPECT_EQ(attachments->pendingImports(), 0);
  EXPECT_TRUE(attachments->hasSelections());
  const auto& selections = attachments->content().selections();
  ASSERT_EQ(selections.size(), 2u);
  EXPECT_FALSE(selections[0].hasDirectoryPath());
  EXPECT_TRUE(selections[1].hasDirectoryPath());
  settle();
  const auto prepared = attachments->prepared();
  ASSERT_TRUE(prepared.has_value());
  EXPECT_EQ(prepared->id, prepared->batch->id());
  attachments->finishSent(prepared->id);
  EXPECT_FALSE(attachments->hasSelections());
}

TEST_F(ContentAttachmentsTest, AStaleDropAddsNothingAndAFailedOneShowsAccess) {
  const auto stale = attachments->beginImport();
  attachments->clear();
  attachments->importFinished({folder / "note.txt"}, false, stale);
  EXPECT_FALSE(attachments->hasSelections());

  const auto generation = attachments->beginImport();
  attachments->importFinished({}, true, generation);
  EXPECT_EQ(attachments->error(), transfer::ContentFailure::Case::access);
}

TEST_F(ContentAttachmentsTest, BindsOneRecipientAndOpensItsChooser) {
  EXPECT_TRUE(attachments->bindRecipient("a"));
  EXPECT_FALSE(attachments->bindRecipient("b"));
  EXPECT_EQ(attachments->recipientID(), "a");
  attachments->choose();
  EXPECT_EQ(chooser->shown, 1);
}

TEST_F(ContentAttachmentsTest, ObserversHearOfChangesOnceAfterTheyHappenUntilTheyLetGo) {
  int heard = 0;
  std::size_t seen = 99;
  auto token = attachments->observe([&] {
    ++heard;
    seen = attachments->selections().size();
  });
  attachments->setSelections({transfer::ContentUrl::file(folder / "note.txt")});
  attachments->setError(transfer::ContentFailure::Case::access);
  EXPECT_EQ(heard, 0);
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(heard, 1);  // one announcement for the turn's changes, made after them
  EXPECT_EQ(seen, 1u);
  token.reset();
  attachments->clear();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(heard, 1);
}

}  // namespace
}  // namespace velmorine::workspace
