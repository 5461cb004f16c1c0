// The conversation header and the key-change banner.

#include "Velmorine/workspace/conversation_header.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include "Velmorine/workspace/fitting_button_layout.h"
#include "Velmorine/workspace/key_change_banner.h"
#include "Velmorine/workspace/text_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

class HeaderTest : public ViewFixture {
 protected:
  HeaderTest() : ViewFixture(markedLookup()) {}
};

TEST_F(HeaderTest, NamesThePeerWithItsStatusAndTheFullNameAsTooltip) {
  auto office = peer("office");
  office.name = "<i>Office</i> & Co";
  office.blocked = true;
  office.keyChanged = true;
  ConversationHeader header(*environment);
  header.setPeer(office, false);
  EXPECT_EQ(header.nameLabel()->text(), QStringLiteral("<i>Office</i> & Co"));
  EXPECT_EQ(header.nameLabel()->textFormat(), Qt::PlainText);
  EXPECT_TRUE(header.nameLabel()->elided());
  EXPECT_EQ(header.nameLabel()->toolTip(),
            QStringLiteral("<qt>&lt;i&gt;Office&lt;/i&gt; &amp; Co</qt>"));
  EXPECT_EQ(header.statusLabel()->text(), QStringLiteral("[en] Blocked"));
  EXPECT_EQ(header.inspectorButton()->accessibleName(), QStringLiteral("[en] Security details"));
  EXPECT_EQ(header.actionsButton()->accessibleName(), QStringLiteral("[en] Conversation actions"));
}

TEST_F(HeaderTest, InspectorButtonTogglesTheColumnOrInACompactWindowOpensTheSheet) {
  applyPeers({peer("a")});
  ConversationHeader header(*environment);
  header.setPeer(peer("a"), false);
  header.inspectorButton()->click();
  EXPECT_FALSE(model->inspectorVisible());
  header.inspectorButton()->click();
  EXPECT_TRUE(model->inspectorVisible());
  EXPECT_FALSE(model->securityDetailsVisible());

  header.setPeer(peer("a"), true);
  header.inspectorButton()->click();
  header.inspectorButton()->click();
  EXPECT_TRUE(model->inspectorVisible());
  EXPECT_TRUE(model->securityDetailsVisible());
}

TEST_F(HeaderTest, TheActionsMenuOnlyAsksToClear) {
  ConversationHeader header(*environment);
  header.setPeer(peer("a"), false);
  ASSERT_EQ(header.actionsMenu()->actions().size(), 1);
  auto* clear = header.actionsMenu()->actions().front();
  EXPECT_EQ(clear->text(), QStringLiteral("[en] Clear conversation"));
  clear->trigger();
  EXPECT_TRUE(model->clearConfirmation());
  EXPECT_TRUE(clears.empty());
  EXPECT_TRUE(runtime->calls.empty());
}

class BannerTest : public ViewFixture {
 protected:
  BannerTest() : ViewFixture(markedLookup()) {
    auto changed = peer("a");
    changed.keyChanged = true;
    applyPeers({changed});
    model->setSelectedPeerID("a");
    runtime->calls.clear();
    banner.setPeer(changed);
  }

  KeyChangeBanner banner{*environment};
};

TEST_F(BannerTest, BothDecisionsPassTheWireIdentifierAndDifferOnlyInTheFlag) {
  banner.replaceButton()->click();
  banner.separateButton()->click();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"resolveChangedKey wire-a replace",
                                                      "resolveChangedKey wire-a separate"}));
  EXPECT_EQ(model->selectedPeerID(), "a");
}

TEST_F(BannerTest, CancelLeavesTrustAndClearsTheSelection) {
  banner.cancelButton()->click();
  EXPECT_EQ(model->selectedPeerID(), std::nullopt);
  EXPECT_TRUE(runtime->calls.empty());
  EXPECT_EQ(banner.cancelButton()->text(), QStringLiteral("[en] Cancel"));
}

TEST_F(BannerTest, ButtonsStandSideBySideWhereTheyFitElseOneUnderTheOther) {
  auto* layout = banner.buttonLayout();
  const int sideBySide = layout->sizeHint().width();
  EXPECT_TRUE(layout->fitsSideBySide(sideBySide));
  EXPECT_FALSE(layout->fitsSideBySide(sideBySide - 1));
  const int rowHeight = layout->heightForWidth(sideBySide);
  const int stackedHeight = layout->heightForWidth(sideBySide - 1);
  EXPECT_GT(stackedHeight, 2 * rowHeight);

  banner.resize(1000, banner.heightForWidth(1000));
  banner.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(banner.replaceButton()->y(), banner.cancelButton()->y());
  banner.resize(200, banner.heightForWidth(200));
  QCoreApplication::processEvents();
  EXPECT_GT(banner.replaceButton()->y(), banner.cancelButton()->y());
  EXPECT_EQ(banner.replaceButton()->x(), banner.cancelButton()->x());
}

}  // namespace
}  // namespace velmorine::workspace::testing
