#include "Velmorine/shell/desktop_menu_bar.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::shell {
namespace {

using workspace::testing::peer;

class MenuBarTest : public workspace::testing::ViewFixture {
 protected:
  MenuBarTest() : ViewFixture(workspace::testing::markedLookup()) {
    DesktopMenuBar::Actions actions;
    actions.showSettings = [this] { calls.push_back("settings"); };
    actions.showAbout = [this] { calls.push_back("about"); };
    actions.quit = [this] { calls.push_back("quit"); };
    menus = new DesktopMenuBar(*environment, window.menuBar(), std::move(actions));
  }

  QAction* action(const std::string& key) {
    auto* found = menus->action(key);
    EXPECT_NE(found, nullptr) << key;
    return found;
  }

  QMainWindow window;
  DesktopMenuBar* menus;
  std::vector<std::string> calls;
};

TEST_F(MenuBarTest, MenusInOrderWithoutTheEntriesLinuxHasNoUseFor) {
  QStringList titles;
  for (auto* entry : window.menuBar()->actions()) titles.push_back(entry->text());
  EXPECT_EQ(titles, (QStringList{"Velmorine", "[en] File", "[en] Edit", "[en] View",
                                 "[en] Conversation", "[en] Network", "[en] Window", "[en] Help"}));
  for (const char* absent : {"menu.standard.hide", "menu.standard.hideOthers",
                             "menu.standard.showAll", "menu.standard.services"}) {
    EXPECT_EQ(menus->action(absent), nullptr) << absent;
  }
}

struct CommandCase {
  std::string key;
  QKeySequence shortcut;
  std::string menu;
  // A standard key, whose sequence the platform knows only once the application runs.
  std::optional<QKeySequence::StandardKey> standard = std::nullopt;
};

class Commands : public MenuBarTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(Commands, EachEntryHasItsMenuShortcutAndTitle) {
  auto* entry = action(GetParam().key);
  ASSERT_NE(entry, nullptr);
  const QKeySequence shortcut =
      GetParam().standard ? QKeySequence(*GetParam().standard) : GetParam().shortcut;
  EXPECT_EQ(entry->shortcut(), shortcut);
  if (!shortcut.isEmpty()) {
    EXPECT_EQ(entry->shortcutContext(), Qt::ApplicationShortcut);
  }
  EXPECT_TRUE(menus->menu(GetParam().menu)->actions().contains(entry));
  EXPECT_TRUE(entry->text().startsWith(QStringLiteral("[en] "))) << entry->text().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Commands,
    ::testing::Values(
        CommandCase{"menu.standard.about", {}, "Velmorine"},
        CommandCase{"settings.title", QKeySequence(Qt::CTRL | Qt::Key_Comma), "Velmorine"},
        CommandCase{"menu.quit", QKeySequence(Qt::CTRL | Qt::Key_Q), "Velmorine"},
        CommandCase{"transfer.add", QKeySequence(Qt::CTRL | Qt::Key_O), "menu.standard.file"},
        CommandCase{"menu.standard.close", QKeySequence(Qt::CTRL | Qt::Key_W),
                    "menu.standard.file"},
        CommandCase{"menu.standard.undo", QKeySequence(Qt::CTRL | Qt::Key_Z), "menu.standard.edit"},
        CommandCase{"menu.standard.redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                    "menu.standard.edit"},
        CommandCase{"menu.standard.cut", QKeySequence(Qt::CTRL | Qt::Key_X), "menu.standard.edit"},
        CommandCase{"menu.standard.copy", QKeySequence(Qt::CTRL | Qt::Key_C), "menu.standard.edit"},
        CommandCase{"menu.standard.paste", QKeySequence(Qt::CTRL | Qt::Key_V),
                    "menu.standard.edit"},
        CommandCase{"menu.standard.delete", {}, "menu.standard.edit"},
        CommandCase{"menu.standard.selectAll", QKeySequence(Qt::CTRL | Qt::Key_A),
                    "menu.standard.edit"},
        CommandCase{
            "menu.standard.enterFullScreen", {}, "menu.standard.view", QKeySequence::FullScreen},
        CommandCase{"conversation.clear", {}, "menu.conversation"},
        CommandCase{"security.details", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_I),
                    "menu.conversation"},
        CommandCase{"network.enable", {}, "menu.network"},
        CommandCase{"menu.standard.minimize", QKeySequence(Qt::CTRL | Qt::Key_M),
                    "menu.standard.window"},
        CommandCase{"menu.standard.zoom", {}, "menu.standard.window"},
        CommandCase{"menu.standard.bringAllFront", {}, "menu.standard.window"},
        CommandCase{"about.help", {}, "menu.standard.help"}),
    [](const auto& param) {
      std::string name = param.param.key;
      std::erase(name, '.');
      return name;
    });

TEST_F(MenuBarTest, ConversationEntriesNeedASelectionAndDetailsAPeerStillListed) {
  EXPECT_FALSE(action("conversation.clear")->isEnabled());
  EXPECT_FALSE(action("security.details")->isEnabled());
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  EXPECT_TRUE(action("conversation.clear")->isEnabled());
  EXPECT_TRUE(action("security.details")->isEnabled());
  applyPeers({});
  EXPECT_TRUE(action("conversation.clear")->isEnabled());
  EXPECT_FALSE(action("security.details")->isEnabled());

  action("conversation.clear")->trigger();
  EXPECT_TRUE(model->clearConfirmation());
  applyPeers({peer("a")});
  action("security.details")->trigger();
  EXPECT_TRUE(model->securityDetailsVisible());
}

TEST_F(MenuBarTest, TheNetworkEntryFollowsTheSnapshotAndAsksForTheOpposite) {
  auto* network = action("network.enable");
  EXPECT_EQ(network->text(), QStringLiteral("[en] Turn on networking"));
  network->trigger();
  runtime::RuntimeSnapshot enabled;
  enabled.enabled = true;
  model->apply(enabled);
  EXPECT_EQ(network->text(), QStringLiteral("[en] Pause networking"));
  network->trigger();
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"setNetworkEnabled true", "setNetworkEnabled false"}));
}

TEST_F(MenuBarTest, HelpRevealsTheWorkspaceMarksItVisibleAndAsksForTheHelpSheet) {
  action("about.help")->trigger();  // nothing to reveal yet: only the flags
  EXPECT_TRUE(model->helpRequested());
  EXPECT_TRUE(model->workspaceVisible());
  int revealed = 0;
  model->revealWorkspace = [&] { ++revealed; };
  model->setHelpRequested(false);
  model->setWorkspaceVisible(false);
  action("about.help")->trigger();
  EXPECT_EQ(revealed, 1);
  EXPECT_TRUE(model->workspaceVisible());
  EXPECT_TRUE(model->helpRequested());
}

TEST_F(MenuBarTest, ProgramEntriesCallTheirActions) {
  action("menu.standard.about")->trigger();
  action("settings.title")->trigger();
  action("menu.quit")->trigger();
  action("transfer.add")->trigger();
  EXPECT_EQ(calls, (std::vector<std::string>{"about", "settings", "quit"}));
  EXPECT_EQ(current().chooseCalls, 1);
}

TEST_F(MenuBarTest, EditEntriesActOnTheFocusedField) {
  QLineEdit field;
  field.setText(QStringLiteral("hello world"));
  field.show();
  field.activateWindow();
  field.setFocus();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&field));
  action("menu.standard.selectAll")->trigger();
  EXPECT_EQ(field.selectedText(), QStringLiteral("hello world"));
  action("menu.standard.delete")->trigger();
  EXPECT_EQ(field.text(), QString());
  action("menu.standard.undo")->trigger();
  EXPECT_EQ(field.text(), QStringLiteral("hello world"));
}

}  // namespace
}  // namespace velmorine::shell
