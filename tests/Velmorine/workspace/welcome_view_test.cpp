#include "Velmorine/workspace/welcome_view.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QScrollBar>

#include "Velmorine/workspace/text_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

class WelcomeTest : public ViewFixture {
 protected:
  WelcomeTest() : ViewFixture(markedLookup()) { welcome.show(); }
  WelcomeView welcome{*environment};
};

TEST_F(WelcomeTest, OffersNetworkingOnlyWhileItIsOffAndShowsTheStatusKeysText) {
  EXPECT_TRUE(welcome.enableButton()->isVisible());
  EXPECT_EQ(welcome.statusLabel()->text(), QStringLiteral("[en] Networking is paused"));
  welcome.enableButton()->click();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"setNetworkEnabled true"}));

  runtime::RuntimeSnapshot searching;
  searching.enabled = true;
  searching.status = "network.searching";
  model->apply(searching);
  EXPECT_FALSE(welcome.enableButton()->isVisible());
  EXPECT_EQ(welcome.statusLabel()->text(), QStringLiteral("[en] Looking for devices"));
}

TEST_F(WelcomeTest, NetworkSettingsOpensTheSettingsWhenThereIsAWay) {
  welcome.settingsButton()->click();  // no hook: nothing, no error
  int opened = 0;
  model->revealSettings = [&] { ++opened; };
  welcome.settingsButton()->click();
  EXPECT_EQ(opened, 1);
}

TEST_F(WelcomeTest, ScrollsInALowPaneAndCentresInAHighOne) {
  welcome.resize(600, 200);
  QCoreApplication::processEvents();
  EXPECT_GT(welcome.verticalScrollBar()->maximum(), 0);
  welcome.resize(600, 1400);
  QCoreApplication::processEvents();
  EXPECT_EQ(welcome.verticalScrollBar()->maximum(), 0);
  const int top = welcome.enableButton()->mapTo(welcome.widget(), QPoint()).y();
  EXPECT_GT(top, 400);
}

}  // namespace
}  // namespace velmorine::workspace::testing
