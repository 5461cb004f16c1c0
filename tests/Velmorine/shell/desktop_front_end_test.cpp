#include "Velmorine/shell/desktop_front_end.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>

#include "Velmorine/shell/desktop_menu_bar.h"
#include "Velmorine/shell/desktop_tray.h"
#include "Velmorine/shell/menu_localization.h"
#include "Velmorine/workspace/sidebar_view.h"
#include "Velmorine/workspace/workspace_sheets.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

using workspace::testing::peer;

class FrontEndTest : public workspace::testing::ViewFixture {
 protected:
  FrontEndTest() : ViewFixture(workspace::testing::markedLookup()) {}

  std::unique_ptr<DesktopFrontEnd> make(FrontEndParts parts = {}) {
    parts.view.launchGate = [](workspace::WorkspaceModel&) {};
    if (parts.framesFile.empty()) parts.framesFile = frames / "Velmorine" / "windows.ini";
    return std::make_unique<DesktopFrontEnd>(*model, workspace::testing::markedLookup(),
                                             std::move(parts));
  }

  static void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // The object names of the controls Tab visits, from the one focused until it comes round,
  // read from the device name on; each must have a name for assistive technology.
  static std::string tabOrder() {
    QStringList names;
    QWidget* first = QApplication::focusWidget();
    EXPECT_NE(first, nullptr);
    for (int step = 0; first != nullptr && step < 80; ++step) {
      QWidget* focus = QApplication::focusWidget();
      if (step > 0 && focus == first) break;
      auto* accessible = QAccessible::queryAccessibleInterface(focus);
      EXPECT_FALSE(accessible == nullptr || accessible->text(QAccessible::Name).isEmpty())
          << focus->metaObject()->className() << " " << focus->objectName().toStdString();
      names.push_back(focus->objectName());
      QTest::keyClick(focus, Qt::Key_Tab);
    }
    const auto start = names.indexOf(QStringLiteral("deviceName.edit"));
    if (start > 0) names = names.mid(start) + names.mid(0, start);
    return names.join(QLatin1Char(' ')).toStdString();
  }

  static bool active(QWidget* window) {
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
  }

  velmorine::testing::TemporaryFolder frames;
};

TEST_F(FrontEndTest, TheMainWindowStartsAt1120By760AndKeepsAtLeast900By600) {
  auto frontEnd = make();
  frontEnd->start();
  auto* main = frontEnd->mainWindow();
  EXPECT_TRUE(main->isVisible());
  EXPECT_EQ(main->size(), QSize(1120, 760));
  EXPECT_EQ(main->minimumSize(), QSize(900, 600));
  EXPECT_EQ(main->windowTitle(), QStringLiteral("Velmorine"));
  EXPECT_EQ(frontEnd->settingsWindow(), nullptr);  // made on first use
}

TEST_F(FrontEndTest, ClosingHidesAndRevealingBringsTheSameWindowBack) {
  auto frontEnd = make();
  frontEnd->start();
  auto* main = frontEnd->mainWindow();
  main->close();
  EXPECT_FALSE(main->isVisible());
  EXPECT_FALSE(model->workspaceVisible());
  ASSERT_TRUE(model->revealWorkspace);
  model->revealWorkspace();
  EXPECT_EQ(frontEnd->mainWindow(), main);
  EXPECT_TRUE(main->isVisible());
}

TEST_F(FrontEndTest, TheSettingsWindowIsMadeOnceAndRefreshesTheStatusEachTimeItShows) {
  int refreshes = 0;
  FrontEndParts parts;
  parts.refreshStatus = [&] { ++refreshes; };
  auto frontEnd = make(std::move(parts));
  model->revealSettings();
  QWidget* settings = frontEnd->settingsWindow();
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(settings->size(), QSize(620, 700));
  EXPECT_EQ(settings->minimumSize(), QSize(560, 620));
  EXPECT_EQ(settings->windowTitle(), QStringLiteral("[en] Settings"));
  settings->close();
  EXPECT_FALSE(settings->isVisible());
  frontEnd->menus()->action("settings.title")->trigger();
  EXPECT_EQ(frontEnd->settingsWindow(), settings);
  EXPECT_TRUE(settings->isVisible());
  EXPECT_EQ(refreshes, 2);
}

TEST_F(FrontEndTest, FramesAreKeptAcrossLaunches) {
  {
    auto frontEnd = make();
    frontEnd->start();
    frontEnd->mainWindow()->resize(1000, 700);
    frontEnd->showSettings();
    frontEnd->settingsWindow()->resize(600, 650);
    frontEnd->settingsWindow()->close();
    frontEnd->mainWindow()->close();
  }
  const QSettings saved(QString::fromStdString((frames / "Velmorine" / "windows.ini").string()),
                        QSettings::IniFormat);
  EXPECT_FALSE(saved.value("main/geometry").toByteArray().isEmpty());
  EXPECT_FALSE(saved.value("settings/geometry").toByteArray().isEmpty());
  auto again = make();
  EXPECT_EQ(again->mainWindow()->size(), QSize(1000, 700));
  again->showSettings();
  EXPECT_EQ(again->settingsWindow()->size(), QSize(600, 650));
}

TEST(WindowFrames, LieInTheUsersConfigurationFolder) {
  auto lookup = [](std::map<std::string, std::string> values) {
    return EnvironmentLookup([values](const char* name) -> std::optional<std::string> {
      const auto found = values.find(name);
      if (found == values.end()) return std::nullopt;
      return found->second;
    });
  };
  EXPECT_EQ(windowFramesFile(lookup({{"XDG_CONFIG_HOME", "/x"}, {"HOME", "/h"}})),
            std::filesystem::path("/x/Velmorine/windows.ini"));
  EXPECT_EQ(windowFramesFile(lookup({{"XDG_CONFIG_HOME", "relative"}, {"HOME", "/h"}})),
            std::filesystem::path("/h/.config/Velmorine/windows.ini"));
  EXPECT_EQ(windowFramesFile(lookup({})), std::filesystem::path());
}

TEST_F(FrontEndTest, QuittingWithoutALifecycleShutsTheRuntimeDownOnce) {
  auto frontEnd = make();
  frontEnd->menus()->action("menu.quit")->trigger();
  frontEnd->quit();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"shutdown"}));
}

TEST_F(FrontEndTest, ALanguageSwitchRetitlesMenusTrayWindowsAndTextFields) {
  auto frontEnd = make();
  frontEnd->start();
  frontEnd->showSettings();
  switchLanguage("ja");
  settle();

  for (auto* entry : frontEnd->mainWindow()->menuBar()->actions()) {
    if (entry->text() == QStringLiteral("Velmorine")) continue;
    EXPECT_TRUE(entry->text().startsWith("[ja] ")) << entry->text().toStdString();
    for (auto* item : entry->menu()->actions()) {
      if (!item->isSeparator()) {
        EXPECT_TRUE(item->text().startsWith("[ja] ")) << item->text().toStdString();
      }
    }
  }
  Q_EMIT frontEnd->tray()->menu()->aboutToShow();
  for (auto* item : frontEnd->tray()->menu()->actions()) {
    if (!item->isSeparator()) {
      EXPECT_TRUE(item->text().startsWith("[ja] ")) << item->text().toStdString();
    }
  }
  EXPECT_EQ(frontEnd->settingsWindow()->windowTitle(), QStringLiteral("[ja] Settings"));
  EXPECT_EQ(frontEnd->mainWindow()->windowTitle(), QStringLiteral("Velmorine"));
  EXPECT_EQ(frontEnd->menuLocalization()->language(), "ja");

  QLineEdit field(frontEnd->settingsWindow());
  std::unique_ptr<QMenu> context(field.createStandardContextMenu());
  context->popup(QPoint(0, 0));
  settle();
  EXPECT_TRUE(context->actions().front()->text().startsWith("[ja] "));
  context->close();
}

// Keyboard only: Tab reaches every control of the window in reading order, each named for
// assistive technology; arrows walk the peer list.
TEST_F(FrontEndTest, EveryControlIsReachableByKeyboardAndNamed) {
  auto frontEnd = make();
  applyPeers({peer("a"), peer("b"), peer("c")});
  frontEnd->start();
  ASSERT_TRUE(active(frontEnd->mainWindow()));
  EXPECT_EQ(tabOrder(),
            "deviceName.edit peers.list section.transfers section.received network.toggle "
            "transfer.add settings.open welcome welcome.enable network.settings action.dismiss");

  // A peer whose key changed, in a window wide enough for the inspector.
  auto changed = peer("b");
  changed.keyChanged = true;
  changed.safetyCode.reset();
  applyPeers({peer("a"), changed, peer("c")});
  model->setSelectedPeerID("b");
  frontEnd->workspace()->findChild<QWidget*>(QStringLiteral("deviceName.edit"))->setFocus();
  EXPECT_EQ(tabOrder(),
            "deviceName.edit peers.list section.transfers section.received network.toggle "
            "transfer.add settings.open conversation.inspector conversation.actions trust.cancel "
            "trust.replace trust.separate conversation.list composer.text composer.add "
            "action.dismiss security.inspector security.block");

  // Arrows in the list select a peer.
  auto* list = frontEnd->workspace()->sidebar()->peerList();
  list->setFocus();
  list->setCurrentIndex(list->model()->index(0, 0));
  EXPECT_EQ(model->selectedPeerID(), "a");
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(model->selectedPeerID(), "b");
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(model->selectedPeerID(), "c");
  QTest::keyClick(list, Qt::Key_Up);
  EXPECT_EQ(model->selectedPeerID(), "b");
}

TEST_F(FrontEndTest, ShortcutsWorkFromTheKeyboard) {
  auto frontEnd = make();
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  frontEnd->start();
  auto* main = frontEnd->mainWindow();
  ASSERT_TRUE(active(main));

  QTest::keyClick(main, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(current().chooseCalls, 1);

  QTest::keyClick(main, Qt::Key_I, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_TRUE(model->securityDetailsVisible());
  auto* sheet = frontEnd->workspace()->sheets()->securityDetailsSheet();
  ASSERT_NE(sheet, nullptr);
  QTest::keyClick(sheet, Qt::Key_Escape);
  settle();
  EXPECT_FALSE(model->securityDetailsVisible());

  ASSERT_TRUE(active(main));
  QTest::keyClick(main, Qt::Key_Comma, Qt::ControlModifier);
  QWidget* settings = frontEnd->settingsWindow();
  ASSERT_NE(settings, nullptr);
  ASSERT_TRUE(active(settings));
  // Ctrl+W closes the window in front: here the settings window, which has no menu bar.
  QTest::keyClick(settings, Qt::Key_W, Qt::ControlModifier);
  EXPECT_FALSE(settings->isVisible());
  EXPECT_TRUE(main->isVisible());
  ASSERT_TRUE(active(main));
  QTest::keyClick(main, Qt::Key_W, Qt::ControlModifier);
  EXPECT_FALSE(main->isVisible());
}

}  // namespace
}  // namespace velmorine::shell
