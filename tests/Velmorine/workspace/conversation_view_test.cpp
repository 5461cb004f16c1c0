#include "Velmorine/workspace/conversation_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <cstdlib>
#include <ctime>

#include "Velmorine/workspace/composer_text_view.h"
#include "Velmorine/workspace/item_column.h"
#include "Velmorine/workspace/message_row.h"
#include "Velmorine/workspace/text_label.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using runtime::MessageDelivery;

class ConversationTest : public ViewFixture {
 protected:
  ConversationTest() {
    // Times on screen are the same wherever the test runs.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    base.peers = {peer("p")};
    model->apply(base);
    model->setSelectedPeerID("p");
  }

  // Makes the pane; `messages` first.
  ConversationView& open(runtime::RuntimeSnapshot snapshot, int width = 560, int height = 420) {
    model->apply(std::move(snapshot));
    pane = std::make_unique<ConversationView>(*environment, peer("p"));
    pane->resize(width, height);
    pane->show();
    QApplication::setActiveWindow(pane.get());
    settle();
    return *pane;
  }

  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  // A snapshot with messages "<prefix><from>" … "<prefix><to - 1>", dated by their number.
  runtime::RuntimeSnapshot withMessages(int from, int to, const std::string& prefix = "m") const {
    auto snapshot = base;
    for (int i = from; i < to; ++i) {
      auto item = message(prefix + std::to_string(i), "p", i % 3 == 0, 1000.0 + i * 60);
      snapshot.messages.push_back(item);
    }
    return snapshot;
  }

  void apply(runtime::RuntimeSnapshot snapshot) {
    model->apply(std::move(snapshot));
    settle();
  }

  QScrollBar* bar() const { return pane->list()->verticalScrollBar(); }
  int topOnScreen(const std::string& id) const {
    const auto& list = *pane->list();
    return list.itemRect(list.indexOf(id)).top() - bar()->value();
  }

  void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
  }

  runtime::RuntimeSnapshot base;
  std::unique_ptr<ConversationView> pane;
};

TEST_F(ConversationTest, OpensAtTheEndAndFollowsNewMessages) {
  open(withMessages(0, 60));
  EXPECT_TRUE(pane->list()->atEnd());
  EXPECT_TRUE(pane->following());
  EXPECT_FALSE(pane->latestButton()->isVisible());
  apply(withMessages(0, 61));
  EXPECT_TRUE(pane->list()->atEnd());
  EXPECT_TRUE(pane->following());
}

TEST_F(ConversationTest, AnEarlierPageKeepsTheFirstItemAtTheTop) {
  auto snapshot = withMessages(0, 150);
  snapshot.earlierHistory = {"p"};
  open(snapshot);
  // The button stands above the first item.
  pane->list()->setFocus();
  key(Qt::Key_Home);
  settle();
  pane->earlierButton()->click();
  EXPECT_EQ(runtime->calls.back(), "selectConversation p earlier");
  EXPECT_FALSE(pane->following());
  EXPECT_EQ(pane->pendingHistoryAnchor(), "message:m0");

  auto paged = withMessages(-100, 150);
  paged.earlierHistory = {"p"};
  apply(paged);
  EXPECT_FALSE(pane->pendingHistoryAnchor());
  EXPECT_NEAR(topOnScreen("message:m0"), 0, 1);
  EXPECT_FALSE(pane->list()->atEnd());
  EXPECT_TRUE(pane->latestButton()->isVisible());
}

TEST_F(ConversationTest, AnEmptyConversationStoresNoAnchor) {
  auto snapshot = base;
  snapshot.earlierHistory = {"p"};
  open(snapshot);
  EXPECT_TRUE(pane->earlierButton()->isVisible());
  pane->earlierButton()->click();
  EXPECT_FALSE(pane->pendingHistoryAnchor());
}

TEST_F(ConversationTest, ScrolledAwayNewItemsDoNotMoveTheList) {
  open(withMessages(0, 100));
  pane->list()->setFocus();
  key(Qt::Key_PageUp);
  settle();
  EXPECT_FALSE(pane->following());
  EXPECT_TRUE(pane->latestButton()->isVisible());
  const int value = bar()->value();
  apply(withMessages(0, 110));
  EXPECT_EQ(bar()->value(), value);
  EXPECT_FALSE(pane->following());

  pane->latestButton()->click();
  settle();
  EXPECT_TRUE(pane->list()->atEnd());
  EXPECT_TRUE(pane->following());
  EXPECT_FALSE(pane->latestButton()->isVisible());
}

TEST_F(ConversationTest, WhileBrowsingNewItemsNeverScrollAndTheLatestPageScrollsOnce) {
  auto browsing = withMessages(0, 100);
  browsing.browsingHistory = {"p"};
  open(browsing);
  EXPECT_TRUE(pane->latestButton()->isVisible());
  bar()->setValue(200);
  settle();
  browsing = withMessages(0, 101);
  browsing.browsingHistory = {"p"};
  apply(browsing);
  EXPECT_EQ(bar()->value(), 200);

  runtime->calls.clear();
  pane->latestButton()->click();
  EXPECT_EQ(runtime->calls, std::vector<std::string>{"selectConversation p first"});
  EXPECT_TRUE(pane->awaitingLatest());
  apply(withMessages(50, 160));
  EXPECT_FALSE(pane->awaitingLatest());
  EXPECT_TRUE(pane->following());
  EXPECT_TRUE(pane->list()->atEnd());
  EXPECT_FALSE(pane->latestButton()->isVisible());
}

struct DeliveryCase {
  MessageDelivery delivery;
  const char* label;
  bool retry;
};

class DeliveryTest : public ConversationTest, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(DeliveryTest, ShowsItsLabelAndRetry) {
  const DeliveryCase& test = GetParam();
  auto snapshot = base;
  auto sent = message("m1", "p", true, 10);
  sent.delivery = test.delivery;
  snapshot.messages = {sent};
  open(snapshot);
  MessageRow* row = pane->messageRow("m1");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->deliveryLabel()->text(), environment->text(test.label));
  EXPECT_EQ(row->retryButton()->isVisible(), test.retry);
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, DeliveryTest,
    ::testing::Values(DeliveryCase{MessageDelivery::queued, "delivery.queued", false},
                      DeliveryCase{MessageDelivery::sending, "delivery.sending", false},
                      DeliveryCase{MessageDelivery::acknowledged, "delivery.acknowledged", false},
                      DeliveryCase{MessageDelivery::unconfirmed, "delivery.unconfirmed", true},
                      DeliveryCase{MessageDelivery::received, "delivery.received", false},
                      DeliveryCase{MessageDelivery::failed, "delivery.failed", true},
                      DeliveryCase{MessageDelivery::cancelled, "delivery.cancelled", false}),
    [](const ::testing::TestParamInfo<DeliveryCase>& param) {
      return std::string(runtime::rawValue(param.param.delivery));
    });

struct MenuCase {
  std::string name;
  bool outgoing;
  bool listed;
  bool entry;
};

class MenuTest : public ConversationTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(MenuTest, OffersCancelOnlyForListedOutgoingMessages) {
  const MenuCase& test = GetParam();
  auto snapshot = base;
  auto item = message("m1", "p", test.outgoing, 10);
  item.delivery = MessageDelivery::queued;
  snapshot.messages = {item};
  if (test.listed) snapshot.queuedMessageIDs = {"m1"};
  open(snapshot);
  MessageRow* row = pane->messageRow("m1");
  ASSERT_NE(row, nullptr);
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), row->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(row, &event);
  ASSERT_EQ(pane->contextMenu() != nullptr, test.entry);
  if (!test.entry) return;
  const auto actions = pane->contextMenu()->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions.front()->text(), environment->text("message.cancelQueued"));
  runtime->calls.clear();
  actions.front()->trigger();
  EXPECT_EQ(runtime->calls, std::vector<std::string>{"cancelMessage m1 p"});
}

INSTANTIATE_TEST_SUITE_P(Messages, MenuTest,
                         ::testing::Values(MenuCase{"OutgoingListed", true, true, true},
                                           MenuCase{"OutgoingNotListed", true, false, false},
                                           MenuCase{"IncomingListed", false, true, false}),
                         [](const ::testing::TestParamInfo<MenuCase>& param) {
                           return param.param.name;
                         });

TEST_F(ConversationTest, TheRetryAlertsCancelSendsNothingAndRetryResends) {
  auto snapshot = base;
  auto failed = message("m1", "p", true, 10);
  failed.delivery = MessageDelivery::failed;
  snapshot.messages = {failed};
  open(snapshot);
  runtime->calls.clear();

  pane->messageRow("m1")->retryButton()->click();
  ASSERT_NE(pane->retryAlert(), nullptr);
  EXPECT_EQ(pane->retryMessage()->id, "m1");
  pane->retryAlert()->findChild<QPushButton*>(QStringLiteral("action.cancel"))->click();
  settle();
  EXPECT_FALSE(pane->retryMessage());
  EXPECT_TRUE(runtime->calls.empty());

  pane->messageRow("m1")->retryButton()->click();
  pane->retryAlert()->findChild<QPushButton*>(QStringLiteral("message.retry"))->click();
  settle();
  EXPECT_FALSE(pane->retryMessage());
  ASSERT_EQ(runtime->calls.size(), 1u);
  EXPECT_EQ(runtime->calls.front(), "sendText text of m1 wire-p p");
}

TEST_F(ConversationTest, AChangeOfLanguageRetitlesTheRowsAndControls) {
  auto snapshot = base;
  auto failed = message("m1", "p", true, 10);
  failed.delivery = MessageDelivery::failed;
  snapshot.messages = {failed};
  open(snapshot);
  const QString english = pane->messageRow("m1")->deliveryLabel()->text();
  switchLanguage("ru");
  settle();
  MessageRow* row = pane->messageRow("m1");
  ASSERT_NE(row, nullptr);
  EXPECT_NE(row->deliveryLabel()->text(), english);
  EXPECT_EQ(row->deliveryLabel()->text(), environment->text("delivery.failed"));
  EXPECT_EQ(row->retryButton()->text(), environment->text("message.retry"));
  EXPECT_EQ(pane->sendButton()->text(), environment->text("composer.send"));
}

TEST_F(ConversationTest, AMessageShowsExactlyItsCharacters) {
  const std::string text = "<b>x</b><img src=a.png><a href=y>z</a>";
  auto snapshot = base;
  auto item = message("m1", "p", false, 10);
  item.text = text;
  snapshot.messages = {item};
  open(snapshot);
  QTextEdit* view = pane->messageRow("m1")->textView();
  EXPECT_EQ(view->toPlainText().toStdString(), text);
  for (auto block = view->document()->begin(); block.isValid(); block = block.next()) {
    for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
      const auto format = fragment.fragment().charFormat();
      EXPECT_FALSE(format.isAnchor());
      EXPECT_FALSE(format.isImageFormat());
      EXPECT_NE(format.fontWeight(), QFont::Bold);
    }
  }
}

TEST_F(ConversationTest, ARealisedRowIsAsHighAsItsMeasuredText) {
  auto snapshot = base;
  auto item = message("m1", "p", true, 10);
  item.text = std::string(400, 'w') + " and some words after a very long one";
  snapshot.messages = {item};
  open(snapshot);
  QTextEdit* view = pane->messageRow("m1")->textView();
  EXPECT_EQ(static_cast<int>(std::ceil(view->document()->size().height())), view->height());
  EXPECT_LE(pane->messageRow("m1")->width(), pane->list()->viewport()->width());
}

class ComposerInPaneTest : public ConversationTest {
 protected:
  ComposerInPaneTest() {
    open(withMessages(0, 5));
    text()->setFocus();
  }
  ComposerTextView* text() const { return pane->editor()->textView(); }
};

TEST_F(ComposerInPaneTest, ControlReturnSendsTheDraftOnce) {
  QTest::keyClicks(text(), QStringLiteral("hi"));
  EXPECT_EQ(model->draft("p"), "hi");
  EXPECT_TRUE(pane->sendButton()->isEnabled());
  QTest::keyClick(text(), Qt::Key_Return, Qt::ControlModifier);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts.front().text, "hi");
  EXPECT_FALSE(text()->toPlainText().contains(QLatin1Char('\n')));
}

TEST_F(ComposerInPaneTest, NeitherKeyNorButtonSendsWhileComposing) {
  QTest::keyClicks(text(), QStringLiteral("hi "));
  QInputMethodEvent composing(QStringLiteral("ka"), {});
  QApplication::sendEvent(text(), &composing);
  QTest::keyClick(text(), Qt::Key_Return, Qt::ControlModifier);
  pane->sendButton()->click();
  EXPECT_TRUE(texts.empty());

  QInputMethodEvent done;
  done.setCommitString(QStringLiteral("か"));
  QApplication::sendEvent(text(), &done);
  pane->sendButton()->click();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts.front().text, "hi か");
}

TEST_F(ComposerInPaneTest, ADraftSetElsewhereShowsUnlessComposing) {
  model->setDraft("restored", "p");
  EXPECT_EQ(text()->toPlainText(), QStringLiteral("restored"));
  QInputMethodEvent composing(QStringLiteral("ka"), {});
  QApplication::sendEvent(text(), &composing);
  model->setDraft("", "p");
  EXPECT_EQ(text()->toPlainText(), QStringLiteral("restored"));
}

TEST_F(ConversationTest, TabVisitsListEarlierComposerPaperclipAndSend) {
  auto snapshot = withMessages(0, 3);
  snapshot.earlierHistory = {"p"};
  open(snapshot);
  // Send takes the focus only while it can send.
  model->setDraft("hi", "p");
  pane->list()->setFocus();
  std::vector<QWidget*> visited;
  for (int i = 0; i < 4; ++i) {
    key(Qt::Key_Tab);
    visited.push_back(QApplication::focusWidget());
  }
  EXPECT_EQ(visited, (std::vector<QWidget*>{pane->earlierButton(), pane->editor()->textView(),
                                            pane->addButton(), pane->sendButton()}));
}

struct ScrollKeyCase {
  std::string name;
  Qt::Key key;
  int presses;
  bool fromEnd;
  bool following;
};

class ScrollKeyTest : public ConversationTest,
                      public ::testing::WithParamInterface<ScrollKeyCase> {};

TEST_P(ScrollKeyTest, MovesTheListAsTheUser) {
  const ScrollKeyCase& test = GetParam();
  open(withMessages(0, 120));
  pane->list()->setFocus();
  if (!test.fromEnd) {
    key(Qt::Key_Home);
    settle();
    ASSERT_FALSE(pane->following());
  }
  const int before = bar()->value();
  for (int i = 0; i < test.presses; ++i) key(test.key);
  settle();
  EXPECT_NE(bar()->value(), before);
  EXPECT_EQ(pane->following(), test.following);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ScrollKeyTest,
    ::testing::Values(ScrollKeyCase{"PageUp", Qt::Key_PageUp, 1, true, false},
                      ScrollKeyCase{"Home", Qt::Key_Home, 1, true, false},
                      ScrollKeyCase{"UpTwice", Qt::Key_Up, 2, true, false},
                      ScrollKeyCase{"PageDown", Qt::Key_PageDown, 1, false, false},
                      ScrollKeyCase{"Down", Qt::Key_Down, 1, false, false},
                      ScrollKeyCase{"End", Qt::Key_End, 1, false, true}),
    [](const ::testing::TestParamInfo<ScrollKeyCase>& param) { return param.param.name; });

TEST_F(ConversationTest, TheWaitingBannerCancelsTheWait) {
  auto snapshot = withMessages(0, 3);
  snapshot.waitingReminderPeers = {"wire-p"};
  open(snapshot);
  ASSERT_TRUE(pane->waitingBanner()->isVisible());
  runtime->calls.clear();
  pane->waitingBanner()->findChild<QPushButton*>()->click();
  ASSERT_FALSE(runtime->calls.empty());
  EXPECT_EQ(runtime->calls.front().rfind("cancelReminder", 0), 0u);
  apply(withMessages(0, 3));
  EXPECT_FALSE(pane->waitingBanner()->isVisible());
}

TEST_F(ConversationTest, ScreenshotOfBothBubblesInEveryStateACardAndTheBanners) {
  auto snapshot = base;
  const MessageDelivery deliveries[] = {MessageDelivery::queued,       MessageDelivery::sending,
                                        MessageDelivery::acknowledged, MessageDelivery::unconfirmed,
                                        MessageDelivery::failed,       MessageDelivery::cancelled};
  int n = 0;
  auto incoming = message("in1", "p", false, 1000);
  incoming.text = "Hello! Are the photos from Saturday ready?";
  snapshot.messages.push_back(incoming);
  for (const auto delivery : deliveries) {
    auto sent = message("out" + std::to_string(n), "p", true, 1060.0 + 60 * n);
    sent.text = "Sent text " + std::string(runtime::rawValue(delivery));
    sent.delivery = delivery;
    snapshot.messages.push_back(sent);
    ++n;
  }
  auto long_incoming = message("in2", "p", false, 2000);
  long_incoming.text =
      "A longer message that wraps onto several lines, with a long link "
      "https://example.invalid/a/very/long/path/without/any/spaces/at/all/in/it";
  snapshot.messages.push_back(long_incoming);
  auto card = transferOf("t1", "p", transfer::TransferState::transferring, false, 2100);
  card.name = "photos";
  card.totalBytes = 1000;
  card.bytes = 400;
  snapshot.transfers = {card};
  snapshot.waitingReminderPeers = {"wire-p"};
  // Browsing older history shows the jump button over a list at its end.
  snapshot.browsingHistory = {"p"};
  open(snapshot, 560, 960);
  ASSERT_TRUE(pane->latestButton()->isVisible());
  QApplication::setActiveWindow(nullptr);
  expectMatchesReference(screenshot(*pane), "conversation-pane");
}

}  // namespace
}  // namespace velmorine::workspace::testing
