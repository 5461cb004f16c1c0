// What a person sees: the main window in the states its views list, taken offscreen and compared
// with the committed references (tests/Velmorine/workspace/screenshots/).

#include <gtest/gtest.h>

#include <QDialog>

#include "Velmorine/workspace/key_change_banner.h"
#include "Velmorine/workspace/security_inspector.h"
#include "Velmorine/workspace/sidebar_view.h"
#include "Velmorine/workspace/workspace_view.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

constexpr const char* kFirstUUID = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
constexpr const char* kSecondUUID = "a1b2c3d4-0000-4000-8000-000000000001";

class WorkspaceScreenshots : public ViewFixture {
 protected:
  WorkspaceScreenshots() {
    parts.launchGate = [](WorkspaceModel&) {};
    view = std::make_unique<WorkspaceView>(*environment, parts);
  }

  runtime::RuntimeSnapshot peopleSnapshot() {
    runtime::RuntimeSnapshot snapshot;
    snapshot.status = "network.searching";
    snapshot.enabled = true;
    snapshot.preferences.displayName = "Ada's Workstation";
    auto office = peer("office");
    office.name = "Office";
    office.wireID = kFirstUUID;
    office.platform = "linux";
    office.safetyCode = "31415 92653 58979 32384 62643 38327";
    auto phone = peer("phone", false);
    phone.name = "office";
    phone.wireID = kSecondUUID;
    phone.platform = "android";
    phone.safetyCode.reset();
    auto laptop = peer("laptop");
    laptop.name = "Grace's Laptop";
    laptop.platform = "macos";
    laptop.safetyCode.reset();
    auto blocked = peer("blocked", false);
    blocked.name = "Unknown Device";
    blocked.blocked = true;
    snapshot.peers = {laptop, office, phone, blocked};
    return snapshot;
  }

  void showAt(QSize size) {
    view->resize(size);
    view->show();
    QCoreApplication::processEvents();
  }

  WorkspaceViewParts parts;
  std::unique_ptr<WorkspaceView> view;
};

TEST_F(WorkspaceScreenshots, Welcome) {
  showAt({1120, 760});
  expectMatchesReference(screenshot(*view), "welcome");
}

TEST_F(WorkspaceScreenshots, SidebarWithASharedName) {
  model->apply(peopleSnapshot());
  model->setUnread({{"laptop", 3}});
  showAt({1120, 760});
  expectMatchesReference(screenshot(*view->sidebar()), "sidebar-shared-name");
}

TEST_F(WorkspaceScreenshots, InspectorColumn) {
  model->apply(peopleSnapshot());
  model->setSelectedPeerID("office");
  showAt({1120, 760});
  expectMatchesReference(screenshot(*view), "inspector-column");
}

TEST_F(WorkspaceScreenshots, KeyChangeBannerWide) {
  auto snapshot = peopleSnapshot();
  snapshot.peers[1].keyChanged = true;
  snapshot.peers[1].safetyCode.reset();
  model->apply(snapshot);
  model->setSelectedPeerID("office");
  showAt({1120, 760});
  expectMatchesReference(screenshot(*view), "key-change-wide");
}

TEST_F(WorkspaceScreenshots, KeyChangeBannerNarrow) {
  auto snapshot = peopleSnapshot();
  snapshot.peers[1].keyChanged = true;
  snapshot.peers[1].safetyCode.reset();
  model->apply(snapshot);
  model->setSelectedPeerID("office");
  showAt({900, 600});
  expectMatchesReference(screenshot(*view), "key-change-narrow");
}

// Too narrow for the three decisions side by side: one under the other.
TEST_F(WorkspaceScreenshots, KeyChangeBannerStacked) {
  auto office = peopleSnapshot().peers[1];
  office.keyChanged = true;
  KeyChangeBanner banner(*environment);
  banner.setPeer(office);
  banner.resize(360, banner.heightForWidth(360));
  banner.show();
  QCoreApplication::processEvents();
  expectMatchesReference(screenshot(banner), "key-change-stacked");
}

TEST_F(WorkspaceScreenshots, SecurityDetailsSheet) {
  model->apply(peopleSnapshot());
  model->setSelectedPeerID("office");
  showAt({900, 600});
  model->setSecurityDetailsVisible(true);
  QCoreApplication::processEvents();
  ASSERT_NE(view->sheets()->securityDetailsSheet(), nullptr);
  expectMatchesReference(screenshot(*view->sheets()->securityDetailsSheet()), "security-sheet");
}

}  // namespace
}  // namespace velmorine::workspace::testing
