#pragma once

// What the system knows about one peer's authenticity: whether the connection is encrypted and
// the key verified, the safety code to compare, the device identifier, and the actions verify,
// connect and block or unblock. Every value comes from the peer of the latest snapshot; every
// action is one runtime call. The two confirmations are the view's own state; each acts on the
// peer as it stood when the confirmation opened.

#include <QMessageBox>
#include <QPointer>
#include <QScrollArea>
#include <optional>

#include "Velmorine/workspace/view_environment.h"
class QPushButton;

namespace velmorine::workspace {

class SymbolLabel;
class TextLabel;

class SecurityInspector : public QScrollArea {
  Q_OBJECT

 public:
  explicit SecurityInspector(ViewEnvironment& environment, QWidget* parent = nullptr);

  void setPeer(const runtime::RuntimePeer& peer);
  const std::optional<runtime::RuntimePeer>& peer() const { return peer_; }

  bool verifyConfirmation() const { return verifyAlert_ != nullptr; }
  bool blockConfirmation() const { return blockAlert_ != nullptr; }
  QMessageBox* verifyAlert() const { return verifyAlert_; }
  QMessageBox* blockAlert() const { return blockAlert_; }

  QPushButton* verifyButton() const { return verify_; }
  QPushButton* connectButton() const { return connect_; }
  QPushButton* blockButton() const { return block_; }
  SymbolLabel* connectionLabel() const { return connection_; }
  SymbolLabel* verificationLabel() const { return verification_; }
  TextLabel* codeLabel() const { return code_; }
  TextLabel* deviceIDLabel() const { return deviceID_; }

  static constexpr int kColumnWidth = 264;

 private:
  void refresh();
  void openVerifyAlert();
  void openBlockAlert();

  ViewEnvironment& environment_;
  std::optional<runtime::RuntimePeer> peer_;
  SymbolLabel* title_;
  TextLabel* name_;
  SymbolLabel* connection_;
  SymbolLabel* verification_;
  TextLabel* codeHelp_;
  TextLabel* code_;
  QPushButton* verify_;
  QPushButton* connect_;
  TextLabel* deviceTitle_;
  TextLabel* deviceID_;
  QPushButton* block_;
  QPointer<QMessageBox> verifyAlert_;
  QPointer<QMessageBox> blockAlert_;
};

// A button that reads as destructive (red text), or not.
void setDestructive(QPushButton* button, bool destructive);

}  // namespace velmorine::workspace
