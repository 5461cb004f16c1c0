#include "Velmorine/library/preparation_view.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>

#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/workspace/symbol_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::library {
namespace {

using transfer::ContentFailure;
using transfer::ContentUrl;
using Case = ContentFailure::Case;

// A preparation whose state the test sets; it records what the view asks of it and tells its
// observer of every change the view makes.
class HandPreparation final : public workspace::AttachmentPreparation {
 public:
  std::vector<ContentUrl> picked;
  std::optional<workspace::PreparedAttachments> batch;
  bool isPreparing = false;
  std::int64_t imports = 0;
  std::optional<Case> failure;
  std::optional<std::string> recipient = std::string("peer");
  bool packages = false;
  std::vector<std::string> calls;
  std::function<void()> observer;

  bool hasSelections() const override { return !picked.empty(); }
  std::optional<workspace::PreparedAttachments> prepared() const override { return batch; }
  bool preparing() const override { return isPreparing; }
  std::int64_t pendingImports() const override { return imports; }
  std::optional<Case> error() const override { return failure; }
  void setError(std::optional<Case> error) override {
    calls.push_back("setError");
    failure = error;
  }
  const std::optional<std::string>& recipientID() const override { return recipient; }
  bool choosing() const override { return false; }
  bool bindRecipient(const std::string&) override { return true; }
  void choose() override {}
  void clear() override {
    calls.push_back("clear");
    picked.clear();
    batch.reset();
    failure.reset();
  }
  void cancel() override {
    calls.push_back("cancel");
    isPreparing = false;
  }
  void finishSent(const core::Uuid&) override {}
  std::int64_t beginImport() override { return 0; }
  void importFinished(std::vector<std::filesystem::path>, bool, std::int64_t) override {}
  std::vector<ContentUrl> selections() const override { return picked; }
  void setSelections(std::vector<ContentUrl> selections) override {
    picked = std::move(selections);
  }
  void prepare() override {
    calls.push_back("prepare " + std::to_string(picked.size()));
    failure.reset();
  }
  bool allowPackages() const override { return packages; }
  void setAllowPackages(bool allow) override {
    calls.push_back(allow ? "allowPackages true" : "allowPackages false");
    packages = allow;
  }
  std::shared_ptr<void> observe(std::function<void()> changed) override {
    observer = std::move(changed);
    return nullptr;
  }
};

std::vector<ContentUrl> files(int count) {
  std::vector<ContentUrl> made;
  for (int i = 0; i < count; ++i)
    made.push_back(ContentUrl::file("/home/u/file" + std::to_string(i) + ".txt"));
  return made;
}

class PreparationViewTest : public workspace::testing::ViewFixture {
 protected:
  PreparationViewTest() : view(*environment, preparation) { view.resize(420, 300); }

  bool shown(const char* name) const {
    const auto* widget = view.findChild<QWidget*>(QString::fromLatin1(name));
    return widget != nullptr && widget->isVisibleTo(&view);
  }
  QPushButton* failureButton() const {
    return view.findChild<QPushButton*>(QStringLiteral("composer.failureAction"));
  }
  void set(const std::function<void(HandPreparation&)>& change) {
    change(*preparation);
    view.refresh();
  }

  std::shared_ptr<HandPreparation> preparation = std::make_shared<HandPreparation>();
  PreparationView view;
};

TEST_F(PreparationViewTest, NothingSelectedShowsNothing) {
  for (const char* name :
       {"composer.attachmentList", "composer.attachmentSummary", "composer.progress",
        "composer.failure", "transfer.packageConsent", "composer.chooseRecipient"}) {
    EXPECT_FALSE(shown(name)) << name;
  }
}

struct HeightCase {
  int selections;
  int height;
};

class PreparationListHeight : public PreparationViewTest,
                              public ::testing::WithParamInterface<HeightCase> {};

TEST_P(PreparationListHeight, FiftyPointsARowUpTo112) {
  set([](HandPreparation& p) { p.picked = files(GetParam().selections); });
  EXPECT_EQ(view.list()->height(), GetParam().height);
  EXPECT_EQ(view.findChildren<QToolButton*>(QStringLiteral("composer.remove")).size(),
            GetParam().selections);
}

INSTANTIATE_TEST_SUITE_P(Table, PreparationListHeight,
                         ::testing::Values(HeightCase{1, 50}, HeightCase{2, 100},
                                           HeightCase{3, 112}, HeightCase{9, 112}));

TEST_F(PreparationViewTest, SummaryCountsAndSizesAPreparedBatch) {
  set([](HandPreparation& p) { p.picked = files(2); });
  EXPECT_EQ(view.findChild<QLabel*>(QStringLiteral("composer.attachmentSummary"))->text(),
            environment->text("composer.attachmentCount").arg(2));
  set([](HandPreparation& p) {
    p.batch = workspace::PreparedAttachments{
        core::Uuid::random(),
        std::make_shared<transfer::PreparedBatch>(
            core::Uuid::random(), std::vector<transfer::ContentEntry>{}, 2'000'000, 0,
            std::vector<std::unique_ptr<transfer::ScopedContentAccess>>{},
            std::vector<transfer::SourceStamp>{}, std::vector<transfer::PreparedSource>{},
            transfer::VerificationFailed{})};
  });
  EXPECT_TRUE(view.findChild<QLabel*>(QStringLiteral("composer.attachmentSummary"))
                  ->text()
                  .startsWith(environment->text("composer.attachmentSummary").arg(2).left(5)));
  view.findChild<QPushButton*>(QStringLiteral("composer.clearAttachments"))->click();
  EXPECT_EQ(preparation->calls, (std::vector<std::string>{"clear"}));
  EXPECT_FALSE(shown("composer.attachmentList"));
}

TEST_F(PreparationViewTest, CancellingShowsTheCancelledFailureWithRetry) {
  set([](HandPreparation& p) {
    p.picked = files(2);
    p.isPreparing = true;
  });
  ASSERT_TRUE(shown("composer.cancelPreparation"));
  view.findChild<QPushButton*>(QStringLiteral("composer.cancelPreparation"))->click();
  EXPECT_EQ(preparation->calls, (std::vector<std::string>{"cancel", "setError"}));
  EXPECT_EQ(preparation->failure, Case::cancelled);
  ASSERT_TRUE(shown("composer.failure"));
  EXPECT_EQ(
      view.findChild<workspace::SymbolLabel*>(QStringLiteral("composer.failure"))->label()->text(),
      environment->text("transfer.error.cancelled"));
  ASSERT_TRUE(failureButton()->isEnabled());
  EXPECT_EQ(failureButton()->text(), environment->text("composer.retryAttachments"));
  failureButton()->click();
  EXPECT_EQ(preparation->calls.back(), "prepare 2");
}

TEST_F(PreparationViewTest, RemovingTheLastSelectionPreparesAnEmptySet) {
  set([](HandPreparation& p) { p.picked = files(1); });
  auto* remove = view.findChild<QToolButton*>(QStringLiteral("composer.remove"));
  EXPECT_EQ(remove->accessibleName(),
            environment->text("transfer.remove") + QStringLiteral(" file0.txt"));
  remove->click();
  EXPECT_EQ(preparation->calls, (std::vector<std::string>{"prepare 0"}));
  EXPECT_FALSE(shown("composer.attachmentList"));
  EXPECT_FALSE(shown("composer.attachmentSummary"));
}

TEST_F(PreparationViewTest, RemovingOneKeepsTheOrderOfTheOthers) {
  set([](HandPreparation& p) { p.picked = files(3); });
  view.findChildren<QToolButton*>(QStringLiteral("composer.remove"))[1]->click();
  EXPECT_EQ(preparation->picked, (std::vector<ContentUrl>{files(3)[0], files(3)[2]}));
}

TEST_F(PreparationViewTest, PackageReviewAsksForConsentWithoutRetry) {
  set([](HandPreparation& p) {
    p.picked = files(1);
    p.failure = Case::packageReview;
  });
  EXPECT_TRUE(shown("transfer.packageConsent"));
  EXPECT_FALSE(failureButton()->isVisibleTo(&view));
  view.findChild<QCheckBox*>(QStringLiteral("transfer.packageConsent"))->click();
  EXPECT_EQ(preparation->calls, (std::vector<std::string>{"allowPackages true"}));
  set([](HandPreparation& p) { p.failure.reset(); });
  EXPECT_TRUE(shown("transfer.packageConsent"));
  EXPECT_TRUE(view.findChild<QCheckBox*>(QStringLiteral("transfer.packageConsent"))->isChecked());
}

TEST_F(PreparationViewTest, ImportsWithoutPreparationShowProgressWithoutCancelAndDisableRetry) {
  set([](HandPreparation& p) {
    p.picked = files(1);
    p.imports = 1;
    p.failure = Case::access;
  });
  EXPECT_TRUE(shown("composer.progress"));
  EXPECT_FALSE(shown("composer.cancelPreparation"));
  EXPECT_FALSE(failureButton()->isEnabled());
}

TEST_F(PreparationViewTest, AFailureWithNothingSelectedIsDismissed) {
  set([](HandPreparation& p) { p.failure = Case::access; });
  EXPECT_EQ(failureButton()->text(), environment->text("action.dismiss"));
  failureButton()->click();
  EXPECT_EQ(preparation->calls, (std::vector<std::string>{"clear"}));
  EXPECT_FALSE(shown("composer.failure"));
}

TEST_F(PreparationViewTest, WithoutRecipientTheHintShows) {
  set([](HandPreparation& p) {
    p.picked = files(1);
    p.recipient.reset();
  });
  EXPECT_TRUE(shown("composer.chooseRecipient"));
}

TEST_F(PreparationViewTest, FollowsThePreparationsAnnouncements) {
  ASSERT_TRUE(preparation->observer);
  preparation->picked = files(2);
  preparation->observer();
  EXPECT_EQ(view.findChildren<QToolButton*>(QStringLiteral("composer.remove")).size(), 2);
}

TEST_F(PreparationViewTest, LooksRight) {
  set([](HandPreparation& p) {
    p.picked = files(2);
    p.picked.push_back(ContentUrl::file("/home/u/Photos", true));
    p.isPreparing = true;
  });
  view.resize(420, view.sizeHint().height());
  workspace::testing::expectMatchesReference(workspace::testing::screenshot(view),
                                             "library-preparation-preparing");
}

}  // namespace
}  // namespace velmorine::library
