#pragma once

// The alert that asks whether to quit while work is unfinished: "quit.title", "quit.help", and
// the buttons "action.cancel" (first, the default) and "quit.confirm". Only the second button
// confirms. The alert runs modally; when the session ends meanwhile, nobody is there to answer,
// so it closes as confirmed.

#include <QPointer>
#include <string>

#include "Velmorine/shell/text_lookup.h"

class QMessageBox;

namespace velmorine::shell {

class QuitConfirmation {
 public:
  virtual ~QuitConfirmation() = default;
  // Runs the alert in the texts of `language`; true when confirmed.
  virtual bool ask(const std::string& language) = 0;
  // Closes an open alert as confirmed; nothing when none is open.
  virtual void confirmOpenAlert() = 0;
};

class QuitAlert final : public QuitConfirmation {
 public:
  explicit QuitAlert(TextLookup text) : text_(std::move(text)) {}

  bool ask(const std::string& language) override;
  void confirmOpenAlert() override;

 private:
  TextLookup text_;
  QPointer<QMessageBox> open_;
};

// The alert's object name, by which tests find it among the top-level widgets.
inline constexpr const char* kQuitAlertName = "quitConfirmation";

}  // namespace velmorine::shell
