// The conversation pane of the program's front end, offscreen, with its runtime on host A of a
// LAN of network namespaces, and runtime-node on host B: a message sent with Ctrl+Return goes
// from waiting to delivered; 1,500 messages from B keep the list at its end; scrolled up, the
// list stays put while more arrive; an earlier page keeps its anchor in place; and a message
// written while B is stopped waits and arrives once B returns. Needs root and iproute2; skips
// without them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/workspace/composer_text_view.h"
#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/conversation_view.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/item_column.h"
#include "Velmorine/workspace/message_row.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/workspace_view.h"
#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/harness/scoped_namespace.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

using velmorine::runtime::testing::Lan;
using velmorine::testing::Json;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::ScopedNamespace;

constexpr int kWait = 60000;  // milliseconds for a condition to come true, while events run
constexpr std::size_t kBatch = 100;

class ConversationHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vcv" + std::to_string(::getpid()));
    if (!lan->create() || !lan->plug("a", 1) || !lan->plug("b", 2)) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    if (!bus.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
    workspace::testing::useViewTestLook();
  }

  // Host B: runtime-node in its namespace with networking on.
  bool runB() {
    const auto id = velmorine::testing::startSearchingNode(b, lan->ns("b"), bHome.path().string());
    if (id) bID = *id;
    return id.has_value();
  }

  // B sends the texts to A in batches its outbox takes, each delivered before the next; A's
  // events run in between.
  void streamFromB(const std::string& prefix, int count) {
    for (int start = 0; start < count; start += static_cast<int>(kBatch)) {
      const int end = std::min(count, start + static_cast<int>(kBatch));
      for (int i = start; i < end; ++i) {
        b->send({{"op", "sendText"}, {"peer", aID}, {"text", prefix + std::to_string(i)}});
      }
      const std::string last = prefix + std::to_string(end - 1);
      ASSERT_TRUE(QTest::qWaitFor([&] { return hasMessage(last); }, kWait))
          << "A never received " << last;
    }
  }

  const runtime::RuntimeMessage* messageWithText(const std::string& text) const {
    for (const auto& message : model->snapshot().messages) {
      if (message.text == text) return &message;
    }
    return nullptr;
  }
  bool hasMessage(const std::string& text) const { return messageWithText(text) != nullptr; }

  const runtime::RuntimePeer* peerB() const {
    for (const auto& peer : model->snapshot().peers) {
      if (peer.wireID == bID && !peer.historical) return &peer;
    }
    return nullptr;
  }

  workspace::ConversationView* pane() const {
    return qobject_cast<workspace::ConversationView*>(
        frontEnd->workspace()->detail()->conversationPane());
  }

  // Types `text` into the composer and sends it with Ctrl+Return.
  void sendWithKeys(const QString& text) {
    auto* editor = pane()->editor()->textView();
    editor->setFocus();
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
  }

  // The first item on screen and its top in the viewport.
  std::pair<std::string, int> firstOnScreen() const {
    const auto* list = pane()->list();
    const int value = list->verticalScrollBar()->value();
    for (std::size_t i = 0; i < list->count(); ++i) {
      const QRect rect = list->itemRect(i);
      if (rect.bottom() >= value) return {list->item(i).id, rect.top() - value};
    }
    return {"", 0};
  }

  static void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::PrivateBus bus;
  velmorine::testing::TemporaryFolder bHome;
  std::unique_ptr<RuntimeNodeProcess> b;
  std::string bID;
  std::string aID;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<workspace::WorkspaceModel> model;
  std::unique_ptr<DesktopFrontEnd> frontEnd;
};

TEST_F(ConversationHostsNetns, ChattingThroughTheWindow_NeedsRootAndNamespaces) {
  ASSERT_TRUE(runB()) << "host B never searched";

  ScopedNamespace inA(lan->ns("a"));
  ASSERT_TRUE(inA.entered());
  ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  model = std::make_unique<workspace::WorkspaceModel>(workspace::contentAttachmentFactory());
  FrontEndParts parts;
  parts.framesFile = home / "config" / "Velmorine" / "windows.ini";
  frontEnd = std::make_unique<DesktopFrontEnd>(*model, workspace::testing::tableLookup(),
                                               std::move(parts));
  frontEnd->start();
  frontEnd->mainWindow()->resize(1000, 700);
  auto* toggle = frontEnd->workspace()->findChild<QPushButton*>(QStringLiteral("network.toggle"));
  ASSERT_NE(toggle, nullptr);
  toggle->click();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return model->snapshot().localID && peerB() != nullptr && peerB()->online; }, kWait))
      << "B never came online at A";
  aID = *model->snapshot().localID;
  model->setSelectedPeerID(peerB()->id);
  ASSERT_TRUE(QTest::qWaitFor([&] { return pane() != nullptr && pane()->isVisible(); }, kWait));
  QApplication::setActiveWindow(frontEnd->mainWindow());

  // Ctrl+Return: the message shows waiting first and delivered at last.
  std::vector<std::string> deliveries;
  QObject::connect(model.get(), &workspace::WorkspaceModel::snapshotPublished, [&] {
    if (const auto* message = messageWithText("hello B")) {
      const std::string delivery(runtime::rawValue(message->delivery));
      if (deliveries.empty() || deliveries.back() != delivery) deliveries.push_back(delivery);
    }
  });
  sendWithKeys(QStringLiteral("hello B"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !deliveries.empty() && deliveries.back() == "acknowledged"; }, kWait))
      << "hello B was never acknowledged";
  EXPECT_EQ(deliveries.front(), "queued");
  settle();
  const auto* sent = messageWithText("hello B");
  ASSERT_NE(sent, nullptr);
  ASSERT_NE(pane()->messageRow(sent->id), nullptr);
  EXPECT_EQ(pane()->messageRow(sent->id)->deliveryLabel()->text(),
            frontEnd->environment().text("delivery.acknowledged"));
  EXPECT_TRUE(pane()->editor()->textView()->toPlainText().isEmpty());

  // 1,500 messages from B: the list stays at its end.
  streamFromB("from B ", 1500);
  settle();
  EXPECT_TRUE(pane()->following());
  EXPECT_TRUE(pane()->list()->atEnd());
  EXPECT_FALSE(pane()->latestButton()->isVisible());

  // Scrolled up, the list stays put while more arrive.
  pane()->list()->setFocus();
  for (int i = 0; i < 3; ++i) QTest::keyClick(pane()->list(), Qt::Key_PageUp);
  settle();
  EXPECT_FALSE(pane()->following());
  const auto before = firstOnScreen();
  streamFromB("more from B ", 20);
  settle();
  EXPECT_FALSE(pane()->following());
  EXPECT_FALSE(pane()->list()->atEnd());
  const auto after = firstOnScreen();
  EXPECT_EQ(after.first, before.first);
  EXPECT_EQ(after.second, before.second);

  // Selected afresh, the conversation shows its newest page and offers the older ones; an
  // earlier page keeps the item that was first at the top.
  model->setSelectedPeerID(std::nullopt);
  settle();
  model->setSelectedPeerID(peerB()->id);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return pane() != nullptr && model->snapshot().earlierHistory.contains(peerB()->id); },
      kWait));
  settle();
  pane()->list()->setFocus();
  QTest::keyClick(pane()->list(), Qt::Key_Home);
  settle();
  const std::string anchor = pane()->list()->item(1).id;
  pane()->earlierButton()->click();
  ASSERT_EQ(pane()->pendingHistoryAnchor(), anchor);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !pane()->pendingHistoryAnchor(); }, kWait))
      << "no earlier page came";
  settle();
  const auto* list = pane()->list();
  EXPECT_NE(list->indexOf(anchor), 1u);
  EXPECT_NEAR(list->itemRect(list->indexOf(anchor)).top() - list->verticalScrollBar()->value(), 0,
              1);
  EXPECT_FALSE(list->atEnd());

  // Back to the newest page, then B stops: a message written now waits and arrives when B
  // returns.
  pane()->latestButton()->click();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return pane()->following() && pane()->list()->atEnd(); }, kWait));
  b->stop();
  ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() == nullptr || !peerB()->online; }, kWait))
      << "A never saw B go";
  sendWithKeys(QStringLiteral("while you were away"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return hasMessage("while you were away"); }, kWait))
      << "A refused the message: " << model->errorKey().value_or("no error");
  EXPECT_NE(messageWithText("while you were away")->delivery,
            runtime::MessageDelivery::acknowledged);
  ASSERT_TRUE(runB());
  // B starts, is found again and dialled before the message moves: the window's patience.
  ASSERT_TRUE(b->waitSnapshot(
      [](const Json& snapshot) {
        for (const auto& message : snapshot["messages"]) {
          if (message["text"] == "while you were away") return true;
        }
        return false;
      },
      0, std::chrono::seconds(kWait / 1000)))
      << "B never received the message written while it was away";
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto* waited = messageWithText("while you were away");
        return waited != nullptr && waited->delivery == runtime::MessageDelivery::acknowledged;
      },
      kWait));

  bool closed = false;
  model->runtime().shutdown([&closed] { closed = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
  frontEnd.reset();
  model.reset();
  EXPECT_TRUE(b->stopsCleanly());
}

}  // namespace
}  // namespace velmorine::shell
