#pragma once

// The warning under the header while a peer's key has changed: cancel (leave the conversation,
// the key stays unresolved), trust the new key, or keep it as a separate contact. The two
// decisions go to the runtime with the peer's wire identifier.

#include "Velmorine/workspace/accessible_surface.h"

class QPushButton;

namespace velmorine::workspace {

class FittingButtonLayout;
class SymbolLabel;
class TextLabel;

class KeyChangeBanner : public SurfaceFrame {
  Q_OBJECT

 public:
  explicit KeyChangeBanner(ViewEnvironment& environment, QWidget* parent = nullptr);

  // The banner acts on this peer from now on.
  void setPeer(const runtime::RuntimePeer& peer);

  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* replaceButton() const { return replace_; }
  QPushButton* separateButton() const { return separate_; }
  FittingButtonLayout* buttonLayout() const { return buttons_; }

 private:
  ViewEnvironment& environment_;
  SymbolLabel* title_;
  TextLabel* help_;
  FittingButtonLayout* buttons_;
  QPushButton* cancel_;
  QPushButton* replace_;
  QPushButton* separate_;
  std::string wireID_;
};

}  // namespace velmorine::workspace
