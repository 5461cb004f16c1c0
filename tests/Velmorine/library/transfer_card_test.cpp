#include "Velmorine/library/transfer_card.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "Velmorine/library/transfer_item_row.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "tests/Velmorine/library/library_fixture.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {
namespace {

using transfer::ContentFailure;
using transfer::RuntimeTransfer;
using transfer::TransferState;
using workspace::testing::ViewFixture;

transfer::TransferDisplayItem item(std::string path, bool directory = false) {
  transfer::TransferDisplayItem made;
  made.entry.path = std::move(path);
  made.entry.directory = directory;
  made.entry.size = directory ? 0 : 1200;
  return made;
}

RuntimeTransfer transferIn(TransferState state, int items = 1, bool outgoing = false) {
  RuntimeTransfer transfer;
  transfer.id = "7d0d1c2e-0000-4000-8000-000000000001";
  transfer.contactID = "peer";
  transfer.name = "Holiday photos";
  transfer.state = state;
  transfer.outgoing = outgoing;
  transfer.totalBytes = 2'500'000;
  transfer.bytes = 1'000'000;
  for (int i = 0; i < items; ++i)
    transfer.items.push_back(item("notes/part " + std::to_string(i + 1) + ".txt"));
  return transfer;
}

class TransferCardTest : public ViewFixture {
 protected:
  TransferCardTest() {
    thumbnails->queue = queue;
    thumbnails->main = main;
    ChatThumbnails::replaceShared(thumbnails);
    parts.chooseDestination = [this](
                                  QWidget*, std::optional<std::filesystem::path> start,
                                  std::function<void(std::optional<std::filesystem::path>)> done) {
      starts.push_back(start);
      chosen.push_back(std::move(done));
    };
    parts.reveal = [this](const std::filesystem::path& item) { revealed.push_back(item); };
  }
  ~TransferCardTest() override { ChatThumbnails::replaceShared(nullptr); }

  std::unique_ptr<TransferCard> card(const RuntimeTransfer& transfer, bool embedded = false) {
    auto made =
        std::make_unique<TransferCard>(*environment, states.stateFor(transfer.id), embedded, parts);
    made->setTransfer(transfer);
    made->resize(made->sizeHint().expandedTo({480, 10}));
    return made;
  }

  static bool shown(const TransferCard& card, const char* name) {
    const auto* widget = card.findChild<QWidget*>(QString::fromLatin1(name));
    return widget != nullptr && widget->isVisibleTo(&card);
  }
  static QPushButton* button(const TransferCard& card, const char* name) {
    for (auto* candidate : card.findChildren<QPushButton*>(QString::fromLatin1(name))) {
      if (candidate->isVisibleTo(&card)) return candidate;
    }
    return nullptr;
  }
  static QString textOf(const TransferCard& card, const char* name) {
    return card.findChild<QLabel*>(QString::fromLatin1(name))->text();
  }

  std::shared_ptr<testing::ManualExecutor> queue = std::make_shared<testing::ManualExecutor>();
  std::shared_ptr<testing::ManualExecutor> main = std::make_shared<testing::ManualExecutor>();
  std::shared_ptr<ChatThumbnails> thumbnails = std::make_shared<ChatThumbnails>();
  TransferCardStates states;
  TransferCardParts parts;
  std::vector<std::optional<std::filesystem::path>> starts;
  std::vector<std::function<void(std::optional<std::filesystem::path>)>> chosen;
  std::vector<std::filesystem::path> revealed;
};

struct StateCase {
  TransferState state;
  bool outgoing;
  bool location;
  bool progress;
  const char* controls;  // "decision", "cancel", "none"
  bool help;
  bool reveal;
};

class TransferCardByState : public TransferCardTest,
                            public ::testing::WithParamInterface<StateCase> {};

TEST_P(TransferCardByState, ShowsTheBlocksOfItsState) {
  auto transfer = transferIn(GetParam().state, 1, GetParam().outgoing);
  if (GetParam().location) transfer.location = "file:///tmp/Velmorine-x/";
  transfer.error = "transfer.error.disconnected";
  const auto shownCard = card(transfer);
  const std::string controls = GetParam().controls;
  EXPECT_EQ(shown(*shownCard, "transfer.progress"), GetParam().progress);
  EXPECT_EQ(button(*shownCard, "transfer.accept") != nullptr, controls == "decision");
  EXPECT_EQ(button(*shownCard, "transfer.reject") != nullptr, controls == "decision");
  EXPECT_EQ(button(*shownCard, "transfer.cancel") != nullptr, controls == "cancel");
  EXPECT_EQ(button(*shownCard, "transfer.retryQueued"), nullptr);
  EXPECT_EQ(button(*shownCard, "transfer.showFinder") != nullptr, GetParam().reveal);
  EXPECT_TRUE(shown(*shownCard, "transfer.error"));
  EXPECT_TRUE(shown(*shownCard, "transfer.bytes"));
  EXPECT_EQ(
      textOf(*shownCard, "transfer.state"),
      environment->text("transfer.state." + std::string(transfer::rawValue(GetParam().state))));

  // A batch waiting in the outbox offers Retry and Cancel instead, except for an offer.
  transfer.canRetryQueued = true;
  shownCard->setTransfer(transfer);
  const bool pending = GetParam().state == TransferState::pending;
  EXPECT_EQ(button(*shownCard, "transfer.retryQueued") != nullptr, !pending);
  EXPECT_EQ(button(*shownCard, "transfer.accept") != nullptr, pending);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransferCardByState,
    ::testing::Values(
        StateCase{TransferState::queued, true, false, false, "cancel", false, false},
        StateCase{TransferState::offering, true, false, false, "cancel", false, false},
        StateCase{TransferState::offered, true, false, false, "cancel", false, false},
        StateCase{TransferState::pending, false, false, false, "decision", false, false},
        StateCase{TransferState::accepting, false, false, false, "cancel", false, false},
        StateCase{TransferState::transferring, false, false, true, "cancel", false, false},
        StateCase{TransferState::awaitingCommit, true, false, true, "cancel", true, false},
        StateCase{TransferState::committed, false, true, false, "none", false, true},
        StateCase{TransferState::committed, false, false, false, "none", false, false},
        StateCase{TransferState::committed, true, true, false, "none", false, false},
        StateCase{TransferState::unconfirmed, true, false, false, "none", true, false},
        StateCase{TransferState::rejected, false, false, false, "none", false, false},
        StateCase{TransferState::cancelled, true, false, false, "none", false, false},
        StateCase{TransferState::failed, false, false, false, "none", false, false}));

TEST_F(TransferCardTest, TitleNamesOneItemAndCountsABatch) {
  EXPECT_EQ(textOf(*card(transferIn(TransferState::queued, 1)), "transfer.title"),
            QStringLiteral("Holiday photos"));
  EXPECT_EQ(textOf(*card(transferIn(TransferState::queued, 2)), "transfer.title"),
            environment->text("transfer.batchTitle").arg(2));
  EXPECT_EQ(textOf(*card(transferIn(TransferState::queued, 0)), "transfer.title"),
            QStringLiteral("Holiday photos"));
}

TEST_F(TransferCardTest, EightItemsFitOnePageAndNinePageInTwo) {
  const auto eight = card(transferIn(TransferState::queued, 8));
  EXPECT_EQ(eight->rows().size(), 8u);
  EXPECT_FALSE(shown(*eight, "transfer.next"));

  const auto nine = card(transferIn(TransferState::queued, 9));
  EXPECT_EQ(nine->rows().size(), 8u);
  EXPECT_EQ(textOf(*nine, "transfer.position"), QStringLiteral("1\u20138 / 9"));
  EXPECT_FALSE(button(*nine, "transfer.previous")->isEnabled());
  ASSERT_TRUE(button(*nine, "transfer.next")->isEnabled());
  button(*nine, "transfer.next")->click();
  ASSERT_EQ(nine->rows().size(), 1u);
  EXPECT_EQ(nine->rows()[0]->item().entry.path, "notes/part 9.txt");
  EXPECT_EQ(textOf(*nine, "transfer.position"), QStringLiteral("9\u20139 / 9"));
  EXPECT_FALSE(button(*nine, "transfer.next")->isEnabled());
  EXPECT_TRUE(button(*nine, "transfer.previous")->isEnabled());
}

TEST_F(TransferCardTest, ProgressOfAHugeTransferFitsTheBar) {
  EXPECT_EQ(TransferCard::progressValue(1ULL << 39, 1ULL << 40), 5000);
  EXPECT_EQ(TransferCard::progressValue(1ULL << 40, 1ULL << 40), 10000);
  EXPECT_EQ(TransferCard::progressValue(~0ULL, ~0ULL), 10000);
  EXPECT_EQ(TransferCard::progressValue(5, 0), 10000);  // a total of 0 counts as 1
  EXPECT_EQ(TransferCard::progressValue(0, 0), 0);
  EXPECT_EQ(TransferCard::progressValue(3, 2), 10000);  // bytes clamped to the total

  auto transfer = transferIn(TransferState::transferring);
  transfer.totalBytes = 1ULL << 40;
  transfer.bytes = 1ULL << 38;
  const auto shownCard = card(transfer);
  const auto* bar = shownCard->findChild<QProgressBar*>(QStringLiteral("transfer.progress"));
  EXPECT_EQ(bar->value(), 2500);
  EXPECT_EQ(bar->maximum(), 10000);
  EXPECT_TRUE(bar->accessibleName().endsWith(QStringLiteral(": Holiday photos")));
  EXPECT_EQ(bar->accessibleDescription(), textOf(*shownCard, "transfer.bytes"));
}

TEST_F(TransferCardTest, AcceptPressedTwiceAsksForTheFolderOnce) {
  const auto shownCard = card(transferIn(TransferState::pending));
  button(*shownCard, "transfer.accept")->click();
  shownCard->accept();
  ASSERT_EQ(runtime->folderOpenings.size(), 1u);
  EXPECT_FALSE(button(*shownCard, "transfer.reject")->isEnabled());
  EXPECT_FALSE(button(*shownCard, "transfer.saveAs")->isEnabled());
  shownCard->saveAs();
  EXPECT_TRUE(chosen.empty());

  runtime->folderOpenings[0](std::filesystem::path("/home/u/.local/share/Velmorine/Received"));
  EXPECT_EQ(runtime->acceptedFolders,
            (std::vector<std::filesystem::path>{"/home/u/.local/share/Velmorine/Received"}));
  EXPECT_TRUE(button(*shownCard, "transfer.reject")->isEnabled());
}

TEST_F(TransferCardTest, TheFolderAnswerReachesACardRebuiltMeanwhile) {
  const auto transfer = transferIn(TransferState::pending);
  auto first = card(transfer);
  first->accept();
  first.reset();
  const auto second = card(transfer);
  EXPECT_FALSE(button(*second, "transfer.accept")->isEnabled());
  runtime->folderOpenings[0](std::unexpected(ContentFailure::Case::diskSpace));
  EXPECT_TRUE(runtime->acceptedFolders.empty());
  EXPECT_TRUE(button(*second, "transfer.accept")->isEnabled());
  EXPECT_EQ(second->findChild<workspace::SymbolLabel*>(QStringLiteral("transfer.destinationError"))
                ->label()
                ->text(),
            environment->text("transfer.error.diskSpace"));
}

TEST_F(TransferCardTest, AFailedDefaultFolderThenSaveAsThroughTheRealDialog) {
  velmorine::testing::TemporaryFolder folder;
  std::filesystem::create_directory(folder / "Chosen");
  parts.chooseDestination = folderDestinationChooser();
  auto window = std::make_unique<QWidget>();
  const auto shownCard = card(transferIn(TransferState::pending));
  shownCard->setParent(window.get());
  window->show();

  button(*shownCard, "transfer.accept")->click();
  runtime->folderOpenings[0](std::unexpected(ContentFailure::Case::access));
  const auto* label =
      shownCard->findChild<workspace::SymbolLabel*>(QStringLiteral("transfer.destinationError"));
  ASSERT_TRUE(label->isVisibleTo(shownCard.get()));
  EXPECT_EQ(label->label()->text(), environment->text("transfer.error.destinationAccess"));

  button(*shownCard, "transfer.saveAs")->click();
  auto* dialog = window->findChild<QFileDialog*>(QStringLiteral("transfer.chooseFolderDialog"));
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
  EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
  EXPECT_FALSE(button(*shownCard, "transfer.accept")->isEnabled());
  dialog->setDirectory(QString::fromStdString(folder.path().string()));
  dialog->selectFile(QStringLiteral("Chosen"));
  QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);

  ASSERT_EQ(runtime->acceptedFolders.size(), 1u);
  EXPECT_EQ(std::filesystem::canonical(runtime->acceptedFolders[0]),
            std::filesystem::canonical(folder / "Chosen"));
  EXPECT_FALSE(label->isVisibleTo(shownCard.get()));
  EXPECT_TRUE(button(*shownCard, "transfer.accept")->isEnabled());
}

TEST_F(TransferCardTest, SaveAsStartsAtTheStoredDestinationAndACancelChangesNothing) {
  velmorine::testing::TemporaryFolder folder;
  auto snapshot = model->snapshot();
  snapshot.preferences.destinationBookmark = platform::create_bookmark(folder.path(), false);
  model->apply(std::move(snapshot));
  const auto shownCard = card(transferIn(TransferState::pending));
  shownCard->saveAs();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0], folder.path());
  chosen[0](std::nullopt);
  EXPECT_TRUE(runtime->acceptedFolders.empty());
  EXPECT_TRUE(button(*shownCard, "transfer.saveAs")->isEnabled());

  // A destination that was moved away is not offered.
  std::filesystem::rename(folder.path(), folder.path().string() + "-moved");
  shownCard->saveAs();
  EXPECT_EQ(starts.back(), std::nullopt);
  chosen.back()(std::nullopt);
  std::filesystem::rename(folder.path().string() + "-moved", folder.path());
}

TEST_F(TransferCardTest, ButtonsCallTheRuntimeWithTheTransfer) {
  auto transfer = transferIn(TransferState::pending);
  const auto pendingCard = card(transfer);
  button(*pendingCard, "transfer.reject")->click();
  transfer.state = TransferState::transferring;
  pendingCard->setTransfer(transfer);
  button(*pendingCard, "transfer.cancel")->click();
  transfer.canRetryQueued = true;
  pendingCard->setTransfer(transfer);
  button(*pendingCard, "transfer.retryQueued")->click();
  button(*pendingCard, "transfer.cancel")->click();
  const std::string id = transfer.id;
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"declineTransfer " + id, "cancelTransfer " + id,
                                      "retryTransfer " + id, "cancelTransfer " + id}));
}

TEST_F(TransferCardTest, RevealShowsTheReceivedLocationUnlessItBecameALink) {
  velmorine::testing::TemporaryFolder folder;
  std::filesystem::create_directory(folder / "Velmorine-7d0d1c2e");
  std::filesystem::create_directory_symlink("/etc", folder / "Velmorine-link");
  auto transfer = transferIn(TransferState::committed);
  transfer.location = "file://" + (folder / "Velmorine-7d0d1c2e").string() + "/";
  button(*card(transfer), "transfer.showFinder")->click();
  transfer.location = "file://" + (folder / "Velmorine-link").string() + "/";
  button(*card(transfer), "transfer.showFinder")->click();
  transfer.location = "file://" + (folder / "Velmorine-gone").string() + "/";
  button(*card(transfer), "transfer.showFinder")->click();
  EXPECT_EQ(revealed, (std::vector<std::filesystem::path>{folder / "Velmorine-7d0d1c2e"}));
}

TEST_F(TransferCardTest, AProgressSnapshotTouchesOnlyTheBar) {
  auto transfer = transferIn(TransferState::transferring, 3);
  const auto shownCard = card(transfer);
  const auto rows = shownCard->rows();
  transfer.bytes += 100'000;
  shownCard->setTransfer(transfer);
  EXPECT_EQ(shownCard->rows(), rows);
  EXPECT_EQ(shownCard->findChild<QProgressBar*>(QStringLiteral("transfer.progress"))->value(),
            TransferCard::progressValue(transfer.bytes, transfer.totalBytes));
}

TEST_F(TransferCardTest, AnOfferIsAcceptedWithTheKeyboardAlone) {
  const auto shownCard = card(transferIn(TransferState::pending));
  shownCard->show();
  QApplication::setActiveWindow(shownCard.get());
  QWidget* accept = button(*shownCard, "transfer.accept");
  QTest::keyClick(shownCard.get(), Qt::Key_Tab);
  for (int i = 0; i < 10 && QApplication::focusWidget() != accept; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  ASSERT_EQ(QApplication::focusWidget(), accept);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  ASSERT_EQ(runtime->folderOpenings.size(), 1u);
  runtime->folderOpenings[0](std::filesystem::path("/srv/received"));
  EXPECT_EQ(runtime->acceptedFolders, (std::vector<std::filesystem::path>{"/srv/received"}));
}

TEST_F(TransferCardTest, LooksRightPendingTransferringAndEmbedded) {
  auto pending = transferIn(TransferState::pending, 2);
  auto pendingCard = card(pending);
  pendingCard->resize(480, pendingCard->sizeHint().height());
  workspace::testing::expectMatchesReference(workspace::testing::screenshot(*pendingCard),
                                             "library-card-pending");
  auto running = transferIn(TransferState::transferring, 1, true);
  running.error = "transfer.error.disconnected";
  auto runningCard = card(running, true);
  runningCard->resize(480, runningCard->sizeHint().height());
  workspace::testing::expectMatchesReference(workspace::testing::screenshot(*runningCard),
                                             "library-card-transferring-embedded");
}

}  // namespace
}  // namespace velmorine::library
