// The main window's layout, its detail area and the tracking of the window.

#include "Velmorine/workspace/workspace_view.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QUrl>

#include "Velmorine/workspace/conversation_header.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/key_change_banner.h"
#include "Velmorine/workspace/sidebar_view.h"
#include "Velmorine/workspace/welcome_view.h"
#include "Velmorine/workspace/window_tracking.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

class WorkspaceViewTest : public ViewFixture {
 protected:
  WorkspaceViewTest() : ViewFixture(markedLookup()) {
    parts.launchGate = [this](WorkspaceModel&) { ++gateRuns; };
    parts.chooseFolder = [this](QWidget*, auto chosen) { chooseFolder = std::move(chosen); };
    view = std::make_unique<WorkspaceView>(*environment, parts);
  }

  // Shows the view with a detail column of exactly `detailWidth` pixels.
  void showWithDetailWidth(int detailWidth) {
    view->show();
    QCoreApplication::processEvents();
    const int sidebar = view->sidebar()->width();
    const int handle = view->splitter()->handleWidth();
    view->resize(sidebar + handle + detailWidth, 700);
    QCoreApplication::processEvents();
    ASSERT_EQ(view->detailColumn()->width(), detailWidth);
  }

  void selectPeer(runtime::RuntimePeer selected = peer("a")) {
    applyPeers({selected});
    model->setSelectedPeerID(selected.id);
  }

  // A drag that enters the window and drops there.
  void dropOn(QMimeData& data) {
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(view.get(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(view.get(), &drop);
  }

  WorkspaceViewParts parts;
  int gateRuns = 0;
  std::function<void(std::optional<std::filesystem::path>)> chooseFolder;
  std::unique_ptr<WorkspaceView> view;
};

TEST_F(WorkspaceViewTest, TheInspectorColumnNeeds820PixelsOfDetailColumn) {
  selectPeer();
  showWithDetailWidth(820);
  EXPECT_TRUE(view->inspectorColumn()->isVisible());
  EXPECT_EQ(view->inspector()->width(), 264);
  EXPECT_FALSE(view->detail()->header()->compact());
  showWithDetailWidth(819);
  EXPECT_FALSE(view->inspectorColumn()->isVisible());
  EXPECT_TRUE(view->detail()->header()->compact());
  // Narrowing hides the column without changing the wish.
  EXPECT_TRUE(model->inspectorVisible());
  showWithDetailWidth(900);
  EXPECT_TRUE(view->inspectorColumn()->isVisible());
}

TEST_F(WorkspaceViewTest, TheInspectorColumnNeedsTheConversationTheWishAndAPeer) {
  showWithDetailWidth(900);
  EXPECT_FALSE(view->inspectorColumn()->isVisible());  // the welcome view
  selectPeer();
  EXPECT_TRUE(view->inspectorColumn()->isVisible());
  model->setInspectorVisible(false);
  EXPECT_FALSE(view->inspectorColumn()->isVisible());
  model->setInspectorVisible(true);
  model->setSection(WorkspaceSection::transfers);
  EXPECT_FALSE(view->inspectorColumn()->isVisible());
  model->setSection(WorkspaceSection::received);
  EXPECT_FALSE(view->inspectorColumn()->isVisible());
}

TEST_F(WorkspaceViewTest, SidebarStartsAt240AndStaysBetween200And280) {
  view->resize(1120, 760);
  view->show();
  QCoreApplication::processEvents();
  EXPECT_EQ(view->sidebar()->width(), 240);
  EXPECT_EQ(view->sidebar()->minimumWidth(), 200);
  EXPECT_EQ(view->sidebar()->maximumWidth(), 280);
  // Dragging the divider far either way stops at the limits.
  auto drag = [&](int x) {
    auto* handle = view->splitter()->handle(1);
    const QPoint start = handle->rect().center();
    QTest::mousePress(handle, Qt::LeftButton, {}, start);
    QMouseEvent move(QEvent::MouseMove, QPointF(start + QPoint(x, 0)),
                     handle->mapToGlobal(QPointF(start + QPoint(x, 0))), Qt::NoButton,
                     Qt::LeftButton, {});
    QCoreApplication::sendEvent(handle, &move);
    QTest::mouseRelease(handle, Qt::LeftButton, {}, start + QPoint(x, 0));
    QCoreApplication::processEvents();
  };
  drag(300);
  EXPECT_EQ(view->sidebar()->width(), 280);
  drag(-300);
  EXPECT_EQ(view->sidebar()->width(), 200);
  EXPECT_EQ(view->minimumSize(), QSize(900, 548));
}

TEST_F(WorkspaceViewTest, FirstAppearanceRunsTheGateOnceAndEveryAppearanceMarksVisible) {
  model->setWorkspaceVisible(false);
  view->show();
  EXPECT_EQ(gateRuns, 1);
  EXPECT_TRUE(model->started);
  EXPECT_TRUE(model->workspaceVisible());
  view->hide();
  model->setWorkspaceVisible(false);
  view->show();
  EXPECT_EQ(gateRuns, 1);
  EXPECT_TRUE(model->workspaceVisible());
}

TEST_F(WorkspaceViewTest, WithoutAGateTheRuntimeStartsAtOnce) {
  WorkspaceView plain(*environment);
  plain.show();
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"start"}));
}

TEST_F(WorkspaceViewTest, DroppedFilesGoToThePreparationCurrentAtTheDrop) {
  view->show();
  auto& preparation = current();
  preparation.generation = 7;
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/one")),
                QUrl(QStringLiteral("https://example.invalid/two")),
                QUrl::fromLocalFile(QStringLiteral("/tmp/three"))});
  dropOn(data);
  EXPECT_EQ(preparation.imports, 1);
  ASSERT_EQ(preparation.finishedImports.size(), 1u);
  const auto& finished = preparation.finishedImports[0];
  EXPECT_EQ(finished.files, (std::vector<std::filesystem::path>{"/tmp/one", "/tmp/three"}));
  EXPECT_TRUE(finished.failed);
  EXPECT_EQ(finished.generation, 7);

  QMimeData empty;
  dropOn(empty);
  EXPECT_EQ(preparation.finishedImports.size(), 1u);
}

struct BannerCase {
  const char* name;
  std::string status;
  bool recovery;
  bool storageShown, recoveryShown;
};

class DetailBanners : public WorkspaceViewTest, public ::testing::WithParamInterface<BannerCase> {};

TEST_P(DetailBanners, FollowTheStatusAndTheRecoveryFlag) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.status = GetParam().status;
  snapshot.recoveryNeeded = GetParam().recovery;
  model->apply(snapshot);
  view->show();
  auto* detail = view->detail();
  EXPECT_EQ(detail->storageBanner()->isVisible(), GetParam().storageShown);
  EXPECT_EQ(detail->recoveryBanner()->isVisible(), GetParam().recoveryShown);
  if (GetParam().storageShown && GetParam().recoveryShown) {
    EXPECT_LT(detail->storageBanner()->y(), detail->recoveryBanner()->y());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailBanners,
    ::testing::Values(BannerCase{"none", "network.searching", false, false, false},
                      BannerCase{"storage", "storage.unavailable", false, true, false},
                      BannerCase{"otherStorageKey", "storage.alreadyRunning", false, false, false},
                      BannerCase{"recovery", "network.paused", true, false, true},
                      BannerCase{"both", "storage.unavailable", true, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(WorkspaceViewTest, TheRecoveryFolderGoesToTheRuntimeAndACancelDoesNothing) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.recoveryNeeded = true;
  model->apply(snapshot);
  view->show();
  view->detail()->recoveryButton()->click();
  ASSERT_TRUE(chooseFolder);
  chooseFolder(std::nullopt);
  EXPECT_TRUE(runtime->calls.empty());
  view->detail()->recoveryButton()->click();
  chooseFolder(std::filesystem::path("/srv/received"));
  EXPECT_EQ(runtime->calls, (std::vector<std::string>{"recoverReceives"}));
}

TEST_F(WorkspaceViewTest, SectionsChooseThePane) {
  view->show();
  auto* detail = view->detail();
  EXPECT_TRUE(detail->welcome()->isVisible());
  model->setSection(WorkspaceSection::transfers);
  EXPECT_EQ(detail->currentPane()->objectName(), QStringLiteral("transfers.pane"));
  model->setSection(WorkspaceSection::received);
  EXPECT_EQ(detail->currentPane()->objectName(), QStringLiteral("library.pane"));
  auto changed = peer("a");
  changed.keyChanged = true;
  selectPeer(changed);
  EXPECT_TRUE(detail->header()->isVisible());
  EXPECT_TRUE(detail->keyChangeBanner()->isVisible());
  ASSERT_NE(detail->conversationPane(), nullptr);
  QWidget* first = detail->conversationPane();
  applyPeers({peer("a"), peer("b")});
  EXPECT_EQ(detail->conversationPane(), first);  // the same peer keeps its pane
  EXPECT_FALSE(detail->keyChangeBanner()->isVisible());
  model->setSelectedPeerID("b");
  EXPECT_NE(detail->conversationPane(), nullptr);
  model->setSelectedPeerID(std::nullopt);
  EXPECT_TRUE(detail->welcome()->isVisible());
  EXPECT_EQ(detail->conversationPane(), nullptr);
}

TEST_F(WorkspaceViewTest, TheResidenceNoticeStaysDismissed) {
  view->show();
  auto* notice = view->detail()->residenceNotice();
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(view->detail()->residenceDismiss()->accessibleName(), QStringLiteral("[en] Dismiss"));
  view->detail()->residenceDismiss()->click();
  EXPECT_FALSE(model->showResidenceNotice());
  EXPECT_FALSE(notice->isVisible());
  model->apply(runtime::RuntimeSnapshot{});
  EXPECT_FALSE(notice->isVisible());
}

class WindowTrackingTest : public ViewFixture {};

TEST_F(WindowTrackingTest, ActivationMarksVisibleDeactivationAndClosingDoNot) {
  applyPeers({peer("a")});
  model->setSelectedPeerID("a");
  QMainWindow window;
  WindowTracking tracking(*model);
  tracking.track(&window);
  EXPECT_EQ(window.minimumSize(), QSize(900, 600));
  window.show();
  model->setUnread({{"a", 2}});
  QEvent deactivate(QEvent::WindowDeactivate);
  QCoreApplication::sendEvent(&window, &deactivate);
  EXPECT_FALSE(model->workspaceVisible());
  QEvent activate(QEvent::WindowActivate);
  QCoreApplication::sendEvent(&window, &activate);
  EXPECT_TRUE(model->workspaceVisible());
  EXPECT_TRUE(model->unread().empty());
  window.close();
  EXPECT_FALSE(model->workspaceVisible());

  // Tracking another window stops tracking the first.
  QMainWindow other;
  tracking.track(&other);
  QCoreApplication::sendEvent(&window, &activate);
  EXPECT_FALSE(model->workspaceVisible());
  QCoreApplication::sendEvent(&other, &activate);
  EXPECT_TRUE(model->workspaceVisible());
}

}  // namespace
}  // namespace velmorine::workspace::testing
