#include "Velmorine/shell/desktop_tray.h"

#include <gtest/gtest.h>

#include <QMenu>

#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::shell {
namespace {

using transfer::TransferState;
using workspace::testing::transferOf;

class TrayTest : public workspace::testing::ViewFixture {
 protected:
  TrayTest() : ViewFixture(workspace::testing::markedLookup()) {}

  std::vector<std::string> keys(const runtime::RuntimeSnapshot& snapshot) {
    std::vector<std::string> found;
    for (const auto& entry : trayEntries(snapshot, *environment)) found.push_back(entry.key);
    return found;
  }
};

TEST_F(TrayTest, SevenEntriesFollowTheNetworkState) {
  runtime::RuntimeSnapshot paused;
  EXPECT_EQ(keys(paused),
            (std::vector<std::string>{"network.paused", "transfers.title", "menu.open",
                                      "network.enable", "settings.title", "", "menu.quit"}));
  runtime::RuntimeSnapshot enabled;
  enabled.enabled = true;
  EXPECT_EQ(keys(enabled),
            (std::vector<std::string>{"network.enabled", "transfers.title", "menu.open",
                                      "network.pause", "settings.title", "", "menu.quit"}));
  const auto entries = trayEntries(enabled, *environment);
  EXPECT_EQ(entries[0].kind, TrayEntry::Kind::text);
  EXPECT_EQ(entries[5].kind, TrayEntry::Kind::separator);
  EXPECT_EQ(entries[6].command, TrayEntry::Command::quit);
}

struct CountCase {
  std::vector<TransferState> states;
  int running;
};

class RunningTransfers : public TrayTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(RunningTransfers, CountOnlyThoseNotEnded) {
  runtime::RuntimeSnapshot snapshot;
  int index = 0;
  for (const auto state : GetParam().states) {
    snapshot.transfers.push_back(transferOf("t" + std::to_string(index++), "a", state));
  }
  EXPECT_EQ(trayEntries(snapshot, *environment)[1].title,
            QStringLiteral("[en] Transfers: ") + QString::number(GetParam().running));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunningTransfers,
    ::testing::Values(
        CountCase{{}, 0},
        CountCase{{TransferState::committed, TransferState::unconfirmed, TransferState::rejected,
                   TransferState::cancelled, TransferState::failed},
                  0},
        CountCase{{TransferState::committed, TransferState::transferring, TransferState::pending},
                  2},
        CountCase{{TransferState::awaitingCommit, TransferState::queued}, 2}));

TEST(TraySymbol, FillsWhileAnyConversationHasUnreadMessages) {
  EXPECT_EQ(traySymbol({}), "arrow.up.arrow.down.circle");
  EXPECT_EQ(traySymbol({{"a", 0}, {"b", 0}}), "arrow.up.arrow.down.circle");
  EXPECT_EQ(traySymbol({{"a", 0}, {"b", 1}}), "arrow.up.arrow.down.circle.fill");
}

TEST_F(TrayTest, TheMenuIsMadeAfreshEachTimeItOpensAndItsEntriesAct) {
  int settings = 0, quits = 0, revealed = 0;
  DesktopTray tray(*environment, {[&] { ++settings; }, [&] { ++quits; }});
  auto* menu = tray.menu();
  auto entry = [&](int index) { return menu->actions().at(index); };
  EXPECT_EQ(entry(0)->text(), QStringLiteral("[en] Networking is paused"));
  EXPECT_FALSE(entry(0)->isEnabled());
  EXPECT_FALSE(entry(1)->isEnabled());

  runtime::RuntimeSnapshot enabled;
  enabled.enabled = true;
  model->apply(enabled);
  EXPECT_EQ(entry(0)->text(), QStringLiteral("[en] Networking is paused"));  // until it opens
  Q_EMIT menu->aboutToShow();
  EXPECT_EQ(entry(0)->text(), QStringLiteral("[en] Networking is on"));
  EXPECT_EQ(entry(3)->text(), QStringLiteral("[en] Pause networking"));

  entry(2)->trigger();  // before the window exists: only marks the workspace visible
  model->revealWorkspace = [&] { ++revealed; };
  model->setWorkspaceVisible(false);
  entry(2)->trigger();
  EXPECT_EQ(revealed, 1);
  EXPECT_TRUE(model->workspaceVisible());
  entry(3)->trigger();
  entry(4)->trigger();
  entry(6)->trigger();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"setNetworkEnabled false"}));
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(quits, 1);
}

TEST_F(TrayTest, TheIconFollowsUnreadCounts) {
  DesktopTray tray(*environment, {});
  EXPECT_EQ(tray.symbol(), "arrow.up.arrow.down.circle");
  model->setUnread({{"a", 1}});
  EXPECT_EQ(tray.symbol(), "arrow.up.arrow.down.circle.fill");
  model->setUnread({});
  EXPECT_EQ(tray.symbol(), "arrow.up.arrow.down.circle");
}

}  // namespace
}  // namespace velmorine::shell
