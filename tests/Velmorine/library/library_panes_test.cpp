#include "Velmorine/library/library_panes.h"

#include <gtest/gtest.h>

#include "Velmorine/library/preparation_view.h"
#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_overview.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/workspace_view.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::library {
namespace {

class LibraryPanesTest : public workspace::testing::ViewFixture {
 protected:
  LibraryPanesTest() {
    workspace::WorkspaceViewParts parts;
    parts.panes = withLibraryPanes(workspace::placeholderPanes());
    parts.launchGate = [](workspace::WorkspaceModel&) {};
    view = std::make_unique<workspace::WorkspaceView>(*environment, std::move(parts));
    view->resize(1100, 700);
    view->show();
  }

  std::unique_ptr<workspace::WorkspaceView> view;
};

TEST_F(LibraryPanesTest, TheSectionsShowTheOverviewAndTheLibraryWhichStaysForTheWindowsLife) {
  model->setSection(workspace::WorkspaceSection::transfers);
  EXPECT_NE(qobject_cast<TransferOverview*>(view->detail()->currentPane()), nullptr);
  model->setSection(workspace::WorkspaceSection::received);
  auto* library = qobject_cast<ReceivedLibraryView*>(view->detail()->currentPane());
  ASSERT_NE(library, nullptr);
  model->setSection(workspace::WorkspaceSection::conversation);
  model->setSection(workspace::WorkspaceSection::received);
  EXPECT_EQ(view->detail()->currentPane(), library);
  EXPECT_NE(view->findChild<PreparationView*>(), nullptr);
}

}  // namespace
}  // namespace velmorine::library
