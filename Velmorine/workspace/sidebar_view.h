#pragma once

// The left column of the main window: the product's name, this device's name with a way to change
// it (and a hint while it is a generated one), the peer list, the buttons of the transfers and
// library sections, and the network footer. It keeps nothing of its own: it shows the model and
// acts through it.

#include <QWidget>

#include "Velmorine/workspace/view_environment.h"

class QListView;
class QMenu;
class QPushButton;

namespace velmorine::workspace {

class PeerListModel;
class SymbolLabel;
class TextLabel;
class WrappingButton;

class SidebarView : public QWidget {
  Q_OBJECT

 public:
  explicit SidebarView(ViewEnvironment& environment, QWidget* parent = nullptr);

  QListView* peerList() const { return list_; }
  PeerListModel* peerListModel() const { return peers_; }
  // The context menu of a row (made on first use, refilled for each row it opens on).
  QMenu* rowMenu() const { return rowMenu_; }
  // Fills the row menu for the peer of `row` and pops it up beside the row.
  void openRowMenu(int row);

  static constexpr int kMinimumWidth = 200;
  static constexpr int kIdealWidth = 240;
  static constexpr int kMaximumWidth = 280;

  QSize sizeHint() const override;

 private:
  void refresh();
  void syncSelection();
  void selectionChangedByUser();
  void showRowMenu(const QPoint& position);
  void dismissHint();

  ViewEnvironment& environment_;
  TextLabel* subtitle_;
  TextLabel* thisDevice_;
  WrappingButton* deviceName_;
  QWidget* hint_;
  TextLabel* hintText_;
  QPushButton* notNow_;
  TextLabel* peersTitle_;
  QListView* list_;
  PeerListModel* peers_;
  QPushButton* transfers_;
  QPushButton* library_;
  SymbolLabel* networkState_;
  QPushButton* networkToggle_;
  WrappingButton* addFiles_;
  QPushButton* settings_;
  QMenu* rowMenu_ = nullptr;
  bool syncing_ = false;
};

}  // namespace velmorine::workspace
