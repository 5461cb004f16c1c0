#pragma once

// The header above a conversation: the peer's symbol, name and status, the inspector button
// (which toggles the inspector column, or in a narrow window opens the security-details sheet),
// and the conversation's actions menu.

#include <QWidget>

#include "Velmorine/workspace/view_environment.h"

class QMenu;
class QToolButton;

namespace velmorine::workspace {

class DecorativeSymbol;
class TextLabel;

class ConversationHeader : public QWidget {
  Q_OBJECT

 public:
  explicit ConversationHeader(ViewEnvironment& environment, QWidget* parent = nullptr);

  // Shows `peer`; `compact` while the detail column is narrower than 820 pixels.
  void setPeer(const runtime::RuntimePeer& peer, bool compact);
  bool compact() const { return compact_; }

  QToolButton* inspectorButton() const { return inspector_; }
  QToolButton* actionsButton() const { return actions_; }
  QMenu* actionsMenu() const { return menu_; }
  TextLabel* nameLabel() const { return name_; }
  TextLabel* statusLabel() const { return status_; }

 private:
  ViewEnvironment& environment_;
  DecorativeSymbol* symbol_;
  TextLabel* name_;
  TextLabel* status_;
  QToolButton* inspector_;
  QToolButton* actions_;
  QMenu* menu_;
  QAction* clear_;
  bool compact_ = false;
};

}  // namespace velmorine::workspace
