#pragma once

// The right-hand side of the main window: the storage and recovery banners, the pane of the
// current section (the welcome view, or the selected peer's header, key-change banner and
// conversation; the transfers overview; the library), and the residence notice.

#include <QWidget>
#include <string>

#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/detail_panes.h"

class QPushButton;
class QStackedWidget;
class QToolButton;

namespace velmorine::workspace {

class ConversationHeader;
class KeyChangeBanner;
class SymbolLabel;
class TextLabel;
class WelcomeView;

class DetailArea : public QWidget {
  Q_OBJECT

 public:
  DetailArea(ViewEnvironment& environment, DetailPanes panes,
             FolderChooser chooseFolder = folderDialogChooser(), QWidget* parent = nullptr);

  // The width of the detail column, which decides the header's compact form.
  void setColumnWidth(int width);
  static constexpr int kCompactBelow = 820;

  QWidget* storageBanner() const { return storage_; }
  QWidget* recoveryBanner() const { return recovery_; }
  QPushButton* recoveryButton() const { return reauthorize_; }
  QWidget* residenceNotice() const { return residence_; }
  QToolButton* residenceDismiss() const { return dismiss_; }
  QStackedWidget* sectionPane() const { return stack_; }
  QWidget* currentPane() const;
  WelcomeView* welcome() const { return welcome_; }
  ConversationHeader* header() const { return header_; }
  KeyChangeBanner* keyChangeBanner() const { return banner_; }
  QWidget* conversationPane() const { return conversation_; }

 private:
  void refresh();

  ViewEnvironment& environment_;
  DetailPanes panes_;
  FolderChooser chooseFolder_;
  int columnWidth_ = kCompactBelow;

  SurfaceFrame* storage_;
  SymbolLabel* storageLabel_;
  SurfaceFrame* recovery_;
  TextLabel* recoveryLabel_;
  QPushButton* reauthorize_;
  QStackedWidget* stack_;
  QWidget* transfers_ = nullptr;
  QWidget* library_ = nullptr;
  QWidget* empty_;
  WelcomeView* welcome_;
  QWidget* peerPage_;
  ConversationHeader* header_;
  KeyChangeBanner* banner_;
  QWidget* conversation_ = nullptr;
  std::string conversationPeer_;
  QWidget* residence_;
  TextLabel* residenceLabel_;
  QToolButton* dismiss_;
};

}  // namespace velmorine::workspace
