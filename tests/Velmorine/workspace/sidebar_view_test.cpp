#include "Velmorine/workspace/sidebar_view.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QListView>
#include <QMenu>
#include <QPushButton>

#include "Velmorine/workspace/peer_list_model.h"
#include "Velmorine/workspace/wrapping_button.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

class SidebarTest : public ViewFixture {
 protected:
  SidebarTest() : ViewFixture(markedLookup()) {
    sidebar = std::make_unique<SidebarView>(*environment);
    sidebar->resize(240, 700);
    sidebar->show();
  }

  template <typename Widget = QPushButton>
  Widget* child(const char* name) {
    return sidebar->findChild<Widget*>(QString::fromLatin1(name));
  }
  QWidget* hint() { return child<QPushButton>("deviceName.notNow")->parentWidget(); }

  std::unique_ptr<SidebarView> sidebar;
};

struct HintCase {
  const char* name;
  bool usesFallback;
  std::optional<bool> hintDismissed;  // none: no device-naming preferences
  bool shown;
};

class NamingHint : public SidebarTest, public ::testing::WithParamInterface<HintCase> {};

TEST_P(NamingHint, ShowsOnlyForAGeneratedNameNotYetDismissed) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.deviceNameUsesFallback = GetParam().usesFallback;
  if (GetParam().hintDismissed) {
    store::DeviceNamePreferences naming;
    naming.hintDismissed = *GetParam().hintDismissed;
    snapshot.preferences.deviceNaming = naming;
  }
  model->apply(snapshot);
  EXPECT_EQ(hint()->isVisible(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, NamingHint,
                         ::testing::Values(HintCase{"fallbackNoNaming", true, std::nullopt, true},
                                           HintCase{"fallbackNotDismissed", true, false, true},
                                           HintCase{"fallbackDismissed", true, true, false},
                                           HintCase{"ownNameNotDismissed", false, false, false},
                                           HintCase{"ownNameNoNaming", false, std::nullopt, false}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SidebarTest, NotNowSetsHintDismissedOnlyWhereThereAreNamingPreferences) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.deviceNameUsesFallback = true;
  model->apply(snapshot);
  child("deviceName.notNow")->click();
  ASSERT_EQ(runtime->preferenceChanges.size(), 1u);
  store::AppPreferences without;
  runtime->preferenceChanges[0](without);
  EXPECT_EQ(without, store::AppPreferences{});
  store::AppPreferences with;
  with.deviceNaming = store::DeviceNamePreferences{};
  runtime->preferenceChanges[0](with);
  EXPECT_TRUE(with.deviceNaming->hintDismissed);
}

TEST_F(SidebarTest, TheDeviceNameIsAButtonTitledLiterallyThatOpensTheSettings) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.preferences.displayName = "Tom & <b>Jerry</b>";
  model->apply(snapshot);
  auto* button = child<WrappingButton>("deviceName.edit");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->title(), QStringLiteral("Tom & <b>Jerry</b>"));
  EXPECT_EQ(button->text(), QStringLiteral("Tom && <b>Jerry</b>"));
  EXPECT_TRUE(button->shortcut().isEmpty());
  EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name),
            QStringLiteral("Tom & <b>Jerry</b>"));
  EXPECT_EQ(button->toolTip(), QStringLiteral("<qt>[en] Rename this device</qt>"));

  button->click();  // no settings hook yet: nothing happens
  int opened = 0;
  model->revealSettings = [&] { ++opened; };
  button->click();
  child("settings.open")->click();
  EXPECT_EQ(opened, 2);
}

TEST_F(SidebarTest, ALongDeviceNameWrapsAndIsCutAfterTwoLines) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.preferences.displayName =
      "The workstation in the far corner of the second floor next to the window";
  model->apply(snapshot);
  auto* button = child<WrappingButton>("deviceName.edit");
  const auto lines = button->lines(200);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\u2026")));
  EXPECT_EQ(button->lines(2000).size(), 1);
}

TEST_F(SidebarTest, NetworkFooterFollowsTheSnapshotAndAsksForTheOppositeState) {
  auto* toggle = child("network.toggle");
  EXPECT_EQ(toggle->text(), QStringLiteral("[en] Turn on networking"));
  toggle->click();
  toggle->click();  // no snapshot in between: both ask for the same state
  runtime::RuntimeSnapshot enabled;
  enabled.enabled = true;
  model->apply(enabled);
  EXPECT_EQ(toggle->text(), QStringLiteral("[en] Pause networking"));
  toggle->click();
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"setNetworkEnabled true", "setNetworkEnabled true",
                                      "setNetworkEnabled false"}));
}

TEST_F(SidebarTest, SectionButtonsSwitchThePaneAndTheListShowsNoSelectionThere) {
  applyPeers({peer("a"), peer("b")});
  auto* list = sidebar->peerList();
  list->setCurrentIndex(sidebar->peerListModel()->index(1));
  EXPECT_EQ(model->selectedPeerID(), "b");
  child("section.transfers")->click();
  EXPECT_EQ(model->section(), WorkspaceSection::transfers);
  EXPECT_EQ(model->selectedPeerID(), "b");
  EXPECT_TRUE(list->selectionModel()->selectedIndexes().isEmpty());
  child("section.received")->click();
  EXPECT_EQ(model->section(), WorkspaceSection::received);

  // Clicking the row of the peer still selected shows its conversation again.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualRect(sidebar->peerListModel()->index(1)).center());
  EXPECT_EQ(model->section(), WorkspaceSection::conversation);
  EXPECT_EQ(model->selectedPeerID(), "b");
  ASSERT_EQ(list->selectionModel()->selectedIndexes().size(), 1);
  EXPECT_EQ(list->selectionModel()->selectedIndexes().front().row(), 1);
}

TEST_F(SidebarTest, RowMenuSelectsThatPeerFirstThenRaisesItsFlag) {
  applyPeers({peer("a"), peer("b")});
  model->setSelectedPeerID("a");
  runtime->calls.clear();
  sidebar->openRowMenu(1);
  auto* menu = sidebar->rowMenu();
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 2);
  EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("[en] Security details"));
  EXPECT_EQ(menu->actions()[1]->text(), QStringLiteral("[en] Clear conversation"));
  menu->actions()[0]->trigger();
  EXPECT_EQ(model->selectedPeerID(), "b");
  EXPECT_TRUE(model->securityDetailsVisible());
  EXPECT_EQ(runtime->calls.front(), "selectConversation b first");
  menu->close();

  sidebar->openRowMenu(0);
  sidebar->rowMenu()->actions()[1]->trigger();
  EXPECT_EQ(model->selectedPeerID(), "a");
  EXPECT_TRUE(model->clearConfirmation());
  EXPECT_TRUE(clears.empty());  // only the alert clears
  sidebar->rowMenu()->close();
}

TEST_F(SidebarTest, TheListTakesUnreadCountsAndFollowsTheSelectionFromElsewhere) {
  applyPeers({peer("a"), peer("b")});
  model->setUnread({{"b", 4}});
  EXPECT_EQ(
      sidebar->peerListModel()->index(1).data(kPeerContentRole).value<PeerRowContent>().unread, 4);
  model->setSelectedPeerID("a");
  const auto selected = sidebar->peerList()->selectionModel()->selectedIndexes();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected.front().row(), 0);
  EXPECT_EQ(sidebar->peerList()->accessibleName(), QStringLiteral("[en] Devices"));
}

TEST_F(SidebarTest, AddFilesOpensTheChooserOfTheCurrentPreparation) {
  child<WrappingButton>("transfer.add")->click();
  EXPECT_EQ(current().chooseCalls, 1);
}

}  // namespace
}  // namespace velmorine::workspace::testing
