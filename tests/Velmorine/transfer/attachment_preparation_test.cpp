#include "Velmorine/transfer/attachment_preparation.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;

// Work that waits until the test runs it, in order.
class ManualExecutor : public Executor {
 public:
  void post(std::function<void()> work) override { pending_.push_back(std::move(work)); }
  std::size_t pending() const { return pending_.size(); }
  void runAll() {
    while (!pending_.empty()) {
      auto work = std::move(pending_.front());
      pending_.pop_front();
      work();
    }
  }

 private:
  std::deque<std::function<void()>> pending_;
};

class ManualChooser : public AttachmentChooser {
 public:
  void choose(std::function<void(std::optional<std::vector<ContentUrl>>)> done) override {
    ++shown;
    this->done = std::move(done);
  }
  int shown = 0;
  std::function<void(std::optional<std::vector<ContentUrl>>)> done;
};

class Attachments : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualExecutor> work = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualChooser> chooser = std::make_shared<ManualChooser>();
  std::shared_ptr<AttachmentPreparation> model;

  void SetUp() override {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) testing::writeFile(folder / name, name);
    model = AttachmentPreparation::create(std::nullopt, {main, work, chooser, {}, nullptr});
  }

  ContentUrl url(const std::string& name) const { return ContentUrl::file(folder / name); }

  // The preparation queue, then the main thread.
  void settle() {
    work->runAll();
    main->runAll();
  }
};

TEST_F(Attachments, APreparedSelectionIsPublishedOnTheMainThread) {
  model->add({url("a.txt"), url("b.txt")});
  EXPECT_TRUE(model->preparing());
  work->runAll();
  EXPECT_EQ(model->prepared(), nullptr);  // not before the main thread runs
  main->runAll();
  EXPECT_FALSE(model->preparing());
  ASSERT_NE(model->prepared(), nullptr);
  EXPECT_EQ(model->prepared()->entries().size(), 2u);
  EXPECT_EQ(model->error(), std::nullopt);
}

TEST_F(Attachments, OnlyTheLastOfTwoQuickPreparationsIsPublished) {
  model->add({url("a.txt")});
  model->add({url("b.txt")});
  EXPECT_EQ(work->pending(), 2u);
  settle();
  ASSERT_NE(model->prepared(), nullptr);
  EXPECT_EQ(model->prepared()->entries().size(), 2u);
  EXPECT_EQ(model->error(), std::nullopt);  // the first run's cancellation was dropped too
}

TEST_F(Attachments, AResultThatArrivesAfterACancelIsDropped) {
  model->add({url("a.txt")});
  work->runAll();  // finished, its result on the way
  model->cancel();
  main->runAll();
  EXPECT_EQ(model->prepared(), nullptr);
  EXPECT_FALSE(model->preparing());
  EXPECT_EQ(model->selections().size(), 1u);
}

TEST_F(Attachments, MoreThan1024ItemsAreRefusedWithoutAPreparation) {
  std::vector<ContentUrl> many;
  for (int i = 0; i < 1025; ++i) many.push_back(ContentUrl::file(folder / std::to_string(i)));
  model->setSelections(many);
  model->prepare();
  EXPECT_EQ(model->error(), Case::topLevelLimit);
  EXPECT_FALSE(model->preparing());
  EXPECT_EQ(work->pending(), 0u);
  many.pop_back();
  model->setSelections(many);
  model->prepare();
  EXPECT_TRUE(model->preparing());
  EXPECT_EQ(work->pending(), 1u);
}

TEST_F(Attachments, OnlyNewFileUrlsChangeTheSelection) {
  model->add({url("a.txt")});
  settle();
  const auto prepared = model->prepared();
  model->add({url("a.txt"), *ContentUrl::parse("https://example.org/x")});
  EXPECT_EQ(work->pending(), 0u);
  EXPECT_EQ(model->prepared(), prepared);
  EXPECT_EQ(model->selections(), (std::vector<ContentUrl>{url("a.txt")}));
}

TEST_F(Attachments, AFailedPreparationPublishesItsCase) {
  model->add({url("missing")});
  settle();
  EXPECT_EQ(model->error(), Case::access);
  EXPECT_EQ(model->prepared(), nullptr);
}

TEST_F(Attachments, AClearedDropAddsNothing) {
  const std::int64_t generation = model->beginImport();
  EXPECT_EQ(model->pendingImports(), 1);
  model->clear();
  model->importFinished({url("a.txt")}, false, generation);
  EXPECT_TRUE(model->selections().empty());
  EXPECT_EQ(model->pendingImports(), 0);
  EXPECT_EQ(work->pending(), 0u);
}

TEST_F(Attachments, ADropWithAFailedItemKeepsWhatLoadedAndReportsAccess) {
  const std::int64_t generation = model->beginImport();
  model->importFinished({url("a.txt")}, true, generation);
  EXPECT_EQ(model->selections(), (std::vector<ContentUrl>{url("a.txt")}));
  EXPECT_EQ(model->pendingImports(), 0);
  EXPECT_EQ(model->error(), Case::access);
  settle();  // the preparation the drop started was cancelled
  EXPECT_EQ(model->prepared(), nullptr);
  EXPECT_EQ(model->error(), Case::access);
}

TEST_F(Attachments, FinishSentClearsOnlyForThePreparedBatch) {
  model->add({url("a.txt")});
  settle();
  model->finishSent(core::Uuid::random());
  EXPECT_NE(model->prepared(), nullptr);
  EXPECT_EQ(model->selections().size(), 1u);
  model->finishSent(model->prepared()->id());
  EXPECT_EQ(model->prepared(), nullptr);
  EXPECT_TRUE(model->selections().empty());
}

TEST_F(Attachments, TheRecipientIsBoundOnce) {
  EXPECT_TRUE(model->bindRecipient("peer-1"));
  EXPECT_TRUE(model->bindRecipient("peer-1"));
  EXPECT_FALSE(model->bindRecipient("peer-2"));
  EXPECT_EQ(model->recipientID(), "peer-1");
}

TEST_F(Attachments, TheChooserShowsOnceAndItsLateResultAfterAClearIsDropped) {
  model->choose();
  model->choose();
  EXPECT_EQ(chooser->shown, 1);
  EXPECT_TRUE(model->choosing());
  model->clear();
  chooser->done(std::vector<ContentUrl>{url("a.txt")});
  main->runAll();
  EXPECT_FALSE(model->choosing());
  EXPECT_TRUE(model->selections().empty());

  model->choose();  // the panel closed, so it shows again
  EXPECT_EQ(chooser->shown, 2);
  chooser->done(std::vector<ContentUrl>{url("b.txt")});
  main->runAll();
  EXPECT_EQ(model->selections(), (std::vector<ContentUrl>{url("b.txt")}));
  model->choose();
  chooser->done(std::nullopt);  // dismissed
  main->runAll();
  EXPECT_EQ(model->selections().size(), 1u);
}

TEST_F(Attachments, ConsentToPackagesPreparesAgainOnlyWhenItChanges) {
  std::filesystem::create_directories(folder / "Tool.app");
  testing::writeFile(folder / "Tool.app/run", "r");
  PreparationServices services;
  services.isPackage = [](const ContentUrl& node) {
    return node.lastPathComponent().ends_with(".app");
  };
  model = AttachmentPreparation::create(std::nullopt, {main, work, chooser, services, nullptr});
  model->add({ContentUrl::file(folder / "Tool.app", true)});
  settle();
  EXPECT_EQ(model->error(), Case::packageReview);
  model->setAllowPackages(false);
  EXPECT_EQ(work->pending(), 0u);
  model->setAllowPackages(true);
  EXPECT_EQ(work->pending(), 1u);
  settle();
  ASSERT_NE(model->prepared(), nullptr);
  EXPECT_EQ(model->prepared()->entries().size(), 2u);
}

TEST_F(Attachments, AReleasedModelStopsItsRunAndDropsTheResult) {
  model->add({url("a.txt")});
  std::weak_ptr<AttachmentPreparation> weak = model;
  model.reset();
  EXPECT_TRUE(weak.expired());
  settle();  // the run ends cancelled, and its result finds no one
}

TEST_F(Attachments, ChangesAreAnnouncedBeforeTheyHappen) {
  std::vector<bool> preparingWhenAnnounced;
  model->setWillChange([&] { preparingWhenAnnounced.push_back(model->preparing()); });
  model->add({url("a.txt")});
  ASSERT_FALSE(preparingWhenAnnounced.empty());
  EXPECT_FALSE(preparingWhenAnnounced.back());  // announced while still not preparing
  EXPECT_TRUE(model->preparing());
  model->setError(Case::cancelled);
  EXPECT_EQ(model->error(), Case::cancelled);
}

// The main thread's side when the preparation runs on its own queue: waits for what is posted.
class WaitingExecutor : public Executor {
 public:
  void post(std::function<void()> work) override {
    std::lock_guard guard(mutex_);
    pending_.push_back(std::move(work));
    posted_.notify_one();
  }
  void runOne() {
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [&] { return !pending_.empty(); });
    auto work = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    work();
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> pending_;
};

TEST(AttachmentPreparationQueue, PreparesOnItsOwnQueueAndPublishesOnMain) {
  testing::TemporaryFolder folder;
  testing::writeFile(folder / "a.txt", "a");
  const auto main = std::make_shared<WaitingExecutor>();
  auto model = AttachmentPreparation::create("peer", {main, nullptr, nullptr, {}, nullptr});
  model->add({ContentUrl::file(folder / "a.txt")});
  main->runOne();
  ASSERT_NE(model->prepared(), nullptr);
  EXPECT_EQ(model->prepared()->totalBytes(), 1u);
}

}  // namespace
}  // namespace velmorine::transfer
