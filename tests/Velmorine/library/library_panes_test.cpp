#include "Velmorine/library/library_panes.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QScrollBar>

#include "Velmorine/library/preparation_view.h"
#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_card.h"
#include "Velmorine/library/transfer_overview.h"
#include "Velmorine/workspace/conversation_view.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/item_column.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/workspace_view.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::library {
namespace {

class LibraryPanesTest : public workspace::testing::ViewFixture {
 protected:
  LibraryPanesTest() {
    workspace::WorkspaceViewParts parts;
    parts.panes = withLibraryPanes(workspace::placeholderPanes());
    parts.launchGate = [](workspace::WorkspaceModel&) {};
    view = std::make_unique<workspace::WorkspaceView>(*environment, std::move(parts));
    view->resize(1100, 700);
    view->show();
  }

  std::unique_ptr<workspace::WorkspaceView> view;
};

TEST_F(LibraryPanesTest, TheSectionsShowTheOverviewAndTheLibraryWhichStaysForTheWindowsLife) {
  model->setSection(workspace::WorkspaceSection::transfers);
  EXPECT_NE(qobject_cast<TransferOverview*>(view->detail()->currentPane()), nullptr);
  model->setSection(workspace::WorkspaceSection::received);
  auto* library = qobject_cast<ReceivedLibraryView*>(view->detail()->currentPane());
  ASSERT_NE(library, nullptr);
  model->setSection(workspace::WorkspaceSection::conversation);
  model->setSection(workspace::WorkspaceSection::received);
  EXPECT_EQ(view->detail()->currentPane(), library);
  EXPECT_NE(view->findChild<PreparationView*>(), nullptr);
}

// A transfer of 20 items, created at `createdAt`.
transfer::RuntimeTransfer batch(std::string id, double createdAt) {
  auto made = workspace::testing::transferOf(std::move(id), "p", transfer::TransferState::committed,
                                             false, createdAt);
  made.name = "batch " + made.id;
  for (int i = 0; i < 20; ++i) {
    transfer::TransferDisplayItem item;
    item.entry.path = "part " + std::to_string(i) + ".txt";
    item.entry.size = 10;
    made.items.push_back(item);
  }
  made.itemCount = 20;
  return made;
}

TEST_F(LibraryPanesTest, ACardReusedForAnotherTransferShowsThatTransfersPage) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.peers = {workspace::testing::peer("p")};
  snapshot.transfers = {batch("first", 0), batch("last", 10000)};
  for (int i = 0; i < 60; ++i) {
    snapshot.messages.push_back(
        workspace::testing::message("m" + std::to_string(i), "p", i % 2, 100.0 + i));
  }
  model->apply(snapshot);
  model->setSelectedPeerID("p");
  QCoreApplication::processEvents();
  auto* pane = qobject_cast<workspace::ConversationView*>(view->detail()->conversationPane());
  ASSERT_NE(pane, nullptr);
  auto* list = pane->list();
  const auto cardOf = [list](const std::string& id) {
    return qobject_cast<TransferCard*>(list->widgetFor("transfer:" + id));
  };
  const auto position = [](TransferCard* card) {
    return card->findChild<workspace::TextLabel*>(QStringLiteral("transfer.position"))->text();
  };

  // At the end: the last batch, turned to its second page.
  ASSERT_NE(cardOf("last"), nullptr);
  cardOf("last")->findChild<QPushButton*>(QStringLiteral("transfer.next"))->click();
  const QString secondPage = position(cardOf("last"));
  // At the top the same card serves the first batch, on its own first page.
  TransferCard* reused = cardOf("last");
  list->verticalScrollBar()->setValue(0);
  ASSERT_EQ(cardOf("last"), nullptr);
  ASSERT_EQ(cardOf("first"), reused);
  EXPECT_NE(position(reused), secondPage);
  // Back at the end, the last batch is still on its second page.
  list->scrollToEnd();
  ASSERT_NE(cardOf("last"), nullptr);
  EXPECT_EQ(position(cardOf("last")), secondPage);
}

}  // namespace
}  // namespace velmorine::library
