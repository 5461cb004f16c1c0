#include "Velmorine/workspace/workspace_sheets.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

class SheetsTest : public ViewFixture {
 protected:
  SheetsTest() : ViewFixture(markedLookup()) {
    window.resize(900, 600);
    window.show();
    sheets = new WorkspaceSheets(*environment, &window);
  }

  static void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  static QPushButton* withRole(QMessageBox* alert, QMessageBox::ButtonRole role) {
    for (auto* button : alert->buttons()) {
      if (alert->buttonRole(button) == role) return static_cast<QPushButton*>(button);
    }
    return nullptr;
  }

  QWidget window;
  WorkspaceSheets* sheets;
};

TEST_F(SheetsTest, SecurityDetailsFollowTheFlagBothWays) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->setSecurityDetailsVisible(true);
  auto* sheet = sheets->securityDetailsSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
  EXPECT_EQ(sheet->width(), WorkspaceSheets::kSheetWidth);
  EXPECT_TRUE(sheets->securityDetailsInspector()->isVisible());
  EXPECT_EQ(sheets->securityDetailsInspector()->peer()->id, "a");

  QTest::keyClick(sheet, Qt::Key_Escape);
  settle();
  EXPECT_FALSE(model->securityDetailsVisible());
  EXPECT_EQ(sheets->securityDetailsSheet(), nullptr);

  // Set back from elsewhere: the sheet closes.
  model->setSecurityDetailsVisible(true);
  ASSERT_NE(sheets->securityDetailsSheet(), nullptr);
  model->setSecurityDetailsVisible(false);
  settle();
  EXPECT_EQ(sheets->securityDetailsSheet(), nullptr);
  EXPECT_FALSE(model->securityDetailsVisible());
}

TEST_F(SheetsTest, SecurityDetailsWithoutASelectedPeerShowOnlyDone) {
  model->setSecurityDetailsVisible(true);
  auto* sheet = sheets->securityDetailsSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_FALSE(sheets->securityDetailsInspector()->isVisible());
  auto* done = sheet->findChild<QPushButton*>(QStringLiteral("action.done"));
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->text(), QStringLiteral("[en] Done"));
  done->click();
  settle();
  EXPECT_FALSE(model->securityDetailsVisible());
}

TEST_F(SheetsTest, HelpShowsTheAboutSheetAndItsEndClearsTheRequest) {
  model->setHelpRequested(true);
  ASSERT_NE(sheets->helpSheet(), nullptr);
  EXPECT_TRUE(sheets->helpSheet()->isVisible());
  sheets->helpSheet()->findChild<QPushButton*>(QStringLiteral("action.done"))->click();
  settle();
  EXPECT_FALSE(model->helpRequested());
}

TEST_F(SheetsTest, ClearingAsksAndClearsTheSelectedConversation) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->setClearConfirmation(true);
  auto* alert = sheets->clearAlert();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->text(), QStringLiteral("[en] Clear conversation"));
  EXPECT_EQ(withRole(alert, QMessageBox::DestructiveRole)->text(),
            QStringLiteral("[en] Clear conversation"));
  QTest::keyClick(alert, Qt::Key_Escape);
  settle();
  EXPECT_FALSE(model->clearConfirmation());
  EXPECT_TRUE(clears.empty());

  model->setClearConfirmation(true);
  withRole(sheets->clearAlert(), QMessageBox::DestructiveRole)->click();
  settle();
  EXPECT_FALSE(model->clearConfirmation());
  ASSERT_EQ(clears.size(), 1u);
  EXPECT_EQ(clears[0].wireID, "wire-a");
  EXPECT_EQ(clears[0].contactID, "a");
}

TEST_F(SheetsTest, AClearConfirmedAfterItsPeerVanishedClearsNothing) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  model->setClearConfirmation(true);
  applyPeers({});
  withRole(sheets->clearAlert(), QMessageBox::DestructiveRole)->click();
  settle();
  EXPECT_TRUE(clears.empty());
  EXPECT_FALSE(model->clearConfirmation());
}

TEST_F(SheetsTest, TheErrorAlertShowsTheKeysTextAndItsDismissalClearsIt) {
  model->setErrorKey("send.offline");
  auto* alert = sheets->errorAlert();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->text(), QStringLiteral("[en] Something went wrong"));
  EXPECT_EQ(alert->informativeText(), QStringLiteral("[en] The device cannot be reached."));
  QTest::keyClick(alert, Qt::Key_Escape);
  settle();
  EXPECT_EQ(model->errorKey(), std::nullopt);

  model->setErrorKey("send.busy");
  withRole(sheets->errorAlert(), QMessageBox::RejectRole)->click();
  settle();
  EXPECT_EQ(model->errorKey(), std::nullopt);
  EXPECT_EQ(sheets->errorAlert(), nullptr);
}

}  // namespace
}  // namespace velmorine::workspace::testing
