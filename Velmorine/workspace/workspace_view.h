#pragma once

// The root view of the main window: the sidebar and the detail column side by side in a split
// view, and at the detail column's right edge the security inspector while the column is at least
// 820 pixels wide, the conversation is shown, the inspector is wanted and a peer is selected. It
// takes file drops for the current attachment preparation, runs the launch gate on its first
// appearance, and presents the window's sheets and alerts.

#include <QWidget>

#include "Velmorine/workspace/detail_panes.h"
#include "Velmorine/workspace/workspace_sheets.h"

class QSplitter;

namespace velmorine::workspace {

class DetailArea;
class SecurityInspector;
class SidebarView;

struct WorkspaceViewParts {
  DetailPanes panes = placeholderPanes();
  AboutSheetFactory makeAboutSheet = makeHelpPlaceholderSheet;
  FolderChooser chooseFolder = folderDialogChooser();
  LaunchGate launchGate = startAtOnce();
};

class WorkspaceView : public QWidget {
  Q_OBJECT

 public:
  WorkspaceView(ViewEnvironment& environment, WorkspaceViewParts parts = {},
                QWidget* parent = nullptr);

  SidebarView* sidebar() const { return sidebar_; }
  DetailArea* detail() const { return detail_; }
  QWidget* detailColumn() const { return detailColumn_; }
  QSplitter* splitter() const { return splitter_; }
  // The inspector column (a divider and the inspector), shown or hidden by its four conditions.
  QWidget* inspectorColumn() const { return inspectorColumn_; }
  SecurityInspector* inspector() const { return inspector_; }
  WorkspaceSheets* sheets() const { return sheets_; }

  static constexpr QSize kMinimumContentSize{900, 548};
  static constexpr int kInspectorFrom = 820;

 protected:
  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refreshInspector();
  void refreshLocale();

  ViewEnvironment& environment_;
  LaunchGate launchGate_;
  QSplitter* splitter_;
  SidebarView* sidebar_;
  QWidget* detailColumn_;
  DetailArea* detail_;
  QWidget* inspectorColumn_;
  SecurityInspector* inspector_;
  WorkspaceSheets* sheets_;
};

}  // namespace velmorine::workspace
