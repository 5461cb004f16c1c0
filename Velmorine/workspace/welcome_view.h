#pragma once

// The conversation pane while no peer is selected: a greeting, networking to switch on when it
// is off, the network status with the permission hint and a way to the settings, and the
// privacy note. Centred in the pane; scrolls when the pane is lower than its content.

#include <QScrollArea>

#include "Velmorine/workspace/view_environment.h"

class QPushButton;

namespace velmorine::workspace {

class TextLabel;

class WelcomeView : public QScrollArea {
  Q_OBJECT

 public:
  explicit WelcomeView(ViewEnvironment& environment, QWidget* parent = nullptr);

  QPushButton* enableButton() const { return enable_; }
  QPushButton* settingsButton() const { return settings_; }
  TextLabel* statusLabel() const { return status_; }

 private:
  void refresh();

  ViewEnvironment& environment_;
  TextLabel* title_;
  TextLabel* body_;
  QPushButton* enable_;
  TextLabel* status_;
  TextLabel* permission_;
  QPushButton* settings_;
  TextLabel* privacy_;
};

}  // namespace velmorine::workspace
