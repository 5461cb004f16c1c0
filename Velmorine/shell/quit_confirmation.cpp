#include "Velmorine/shell/quit_confirmation.h"

#include <QMessageBox>
#include <QPushButton>

#include "Velmorine/shell/text_lookup.h"

namespace velmorine::shell {

namespace {

// The alert's result when it was confirmed without a click.
constexpr int kConfirmedResult = 1000;

}  // namespace

bool QuitAlert::ask(const std::string& language) {
  const auto text = [&](const char* key) { return QString::fromStdString(text_(key, language)); };
  QMessageBox box;
  box.setObjectName(kQuitAlertName);
  box.setIcon(QMessageBox::Warning);
  box.setTextFormat(Qt::PlainText);
  box.setText(text("quit.title"));
  box.setInformativeText(text("quit.help"));
  auto* cancel = box.addButton(text("action.cancel"), QMessageBox::RejectRole);
  auto* confirm = box.addButton(text("quit.confirm"), QMessageBox::AcceptRole);
  box.setDefaultButton(cancel);
  box.setEscapeButton(cancel);
  open_ = &box;
  const int result = box.exec();
  open_ = nullptr;
  return result == kConfirmedResult || box.clickedButton() == confirm;
}

void QuitAlert::confirmOpenAlert() {
  if (open_) open_->done(kConfirmedResult);
}

}  // namespace velmorine::shell
