#include "Velmorine/workspace/security_inspector.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

struct StateCase {
  const char* name;
  bool code, verified, online, blocked, keyChanged;
  const char* connectionSymbol;
  const char* verificationSymbol;
  bool verifyShown, verifyEnabled, connectShown;
  const char* blockTitle;
  bool destructive;
};

class InspectorStates : public ViewFixture, public ::testing::WithParamInterface<StateCase> {
 protected:
  InspectorStates() : ViewFixture(markedLookup()) {}
};

TEST_P(InspectorStates, ShowWhatTheSnapshotSaysOfThePeer) {
  const auto& c = GetParam();
  auto shown = peer("a", c.online);
  if (!c.code) shown.safetyCode.reset();
  shown.verified = c.verified;
  shown.blocked = c.blocked;
  shown.keyChanged = c.keyChanged;
  shown.contactID = "contact-a";
  SecurityInspector inspector(*environment);
  inspector.setPeer(shown);
  inspector.show();
  EXPECT_EQ(inspector.connectionLabel()->symbol()->symbol(), c.connectionSymbol);
  EXPECT_EQ(inspector.verificationLabel()->symbol()->symbol(), c.verificationSymbol);
  EXPECT_EQ(inspector.codeLabel()->isVisible(), c.code);
  EXPECT_EQ(inspector.verifyButton()->isVisible(), c.verifyShown);
  if (c.verifyShown) {
    EXPECT_EQ(inspector.verifyButton()->isEnabled(), c.verifyEnabled);
  }
  EXPECT_EQ(inspector.connectButton()->isVisible(), c.connectShown);
  EXPECT_EQ(inspector.blockButton()->text(), QString::fromUtf8(c.blockTitle));
  EXPECT_EQ(inspector.blockButton()->property("destructive").toBool(), c.destructive);
  // The device identifier is always the contact's.
  EXPECT_EQ(inspector.deviceIDLabel()->text(), QStringLiteral("contact-a"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, InspectorStates,
    ::testing::Values(StateCase{"connectedUnverified", true, false, true, false, false, "lock.fill",
                                "person.crop.circle.badge.questionmark", true, true, false,
                                "[en] Block", true},
                      StateCase{"connectedVerified", true, true, true, false, false, "lock.fill",
                                "checkmark.seal", true, false, false, "[en] Block", true},
                      StateCase{"onlineNotConnected", false, false, true, false, false, "lock.open",
                                "person.crop.circle.badge.questionmark", false, false, true,
                                "[en] Block", true},
                      StateCase{"offline", false, true, false, false, false, "lock.open",
                                "checkmark.seal", false, false, false, "[en] Block", true},
                      StateCase{"blockedOnline", false, false, true, true, false, "lock.open",
                                "person.crop.circle.badge.questionmark", false, false, false,
                                "[en] Unblock", false},
                      StateCase{"changedKeyOnline", false, false, true, false, true, "lock.open",
                                "person.crop.circle.badge.questionmark", false, false, false,
                                "[en] Block", true}),
    [](const auto& param) { return std::string(param.param.name); });

class InspectorActions : public ViewFixture {
 protected:
  InspectorActions() : ViewFixture(markedLookup()) {
    window.resize(400, 600);
    inspector = new SecurityInspector(*environment, &window);
    inspector->resize(300, 600);
    window.show();
  }

  void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  QPushButton* confirmOf(QMessageBox* alert) {
    for (auto* button : alert->buttons()) {
      if (alert->buttonRole(button) == QMessageBox::AcceptRole) {
        return static_cast<QPushButton*>(button);
      }
    }
    return nullptr;
  }

  QWidget window;
  SecurityInspector* inspector;
};

TEST_F(InspectorActions, VerifyAsksFirstAndEscapeCallsNothing) {
  inspector->setPeer(peer("a"));
  inspector->verifyButton()->click();
  ASSERT_TRUE(inspector->verifyConfirmation());
  auto* alert = inspector->verifyAlert();
  EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
  EXPECT_EQ(alert->text(), QStringLiteral("[en] Verify"));
  EXPECT_EQ(alert->informativeText(),
            QStringLiteral(
                "[en] Confirm only if the safety code on the other device is exactly the same."));
  QTest::keyClick(alert, Qt::Key_Escape);
  settle();
  EXPECT_FALSE(inspector->verifyConfirmation());
  EXPECT_TRUE(runtime->calls.empty());

  inspector->verifyButton()->click();
  confirmOf(inspector->verifyAlert())->click();
  settle();
  EXPECT_FALSE(inspector->verifyConfirmation());
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"verifyPeer wire-a"}));
}

TEST_F(InspectorActions, ConnectCallsTheRuntimeWithTheWireIdentifier) {
  auto notConnected = peer("a");
  notConnected.safetyCode.reset();
  inspector->setPeer(notConnected);
  inspector->connectButton()->click();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"connectPeer wire-a"}));
}

TEST_F(InspectorActions, TheBlockAlertActsOnTheStateItOpenedWith) {
  inspector->setPeer(peer("a"));
  inspector->blockButton()->click();
  ASSERT_TRUE(inspector->blockConfirmation());
  auto* alert = inspector->blockAlert();
  EXPECT_EQ(alert->text(), QStringLiteral("[en] Block"));
  EXPECT_EQ(confirmOf(alert)->text(), QStringLiteral("[en] Block"));
  // The peer is blocked meanwhile (from another window): the open alert still blocks.
  auto blocked = peer("a");
  blocked.blocked = true;
  inspector->setPeer(blocked);
  confirmOf(alert)->click();
  settle();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"setPeerBlocked a true"}));

  inspector->blockButton()->click();
  EXPECT_EQ(inspector->blockAlert()->text(), QStringLiteral("[en] Unblock"));
  confirmOf(inspector->blockAlert())->click();
  settle();
  EXPECT_EQ(runtime->calls.back(), "setPeerBlocked a false");

  inspector->blockButton()->click();
  inspector->blockAlert()->escapeButton()->click();
  settle();
  EXPECT_EQ(runtime->calls.size(), 2u);
}

}  // namespace
}  // namespace velmorine::workspace::testing
