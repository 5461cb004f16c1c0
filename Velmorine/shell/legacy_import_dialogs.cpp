#include "Velmorine/shell/legacy_import_dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace velmorine::shell {

namespace {

QString qt(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

std::optional<std::size_t> QtLegacyImportDialogs::runAlert(const LegacyImportAlert& alert) {
  QMessageBox box(parent_);
  box.setObjectName(kAlertName);
  box.setIcon(QMessageBox::Information);
  box.setTextFormat(Qt::PlainText);
  box.setText(qt(alert.message));
  box.setInformativeText(qt(alert.informativeText));
  std::vector<QAbstractButton*> buttons;
  for (std::size_t index = 0; index < alert.buttons.size(); ++index) {
    const auto role = index == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    buttons.push_back(box.addButton(qt(alert.buttons[index]), role));
  }
  if (!buttons.empty()) {
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    box.setEscapeButton(buttons.back());
  }
  box.exec();
  for (std::size_t index = 0; index < buttons.size(); ++index) {
    if (box.clickedButton() == buttons[index]) return index;
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> QtLegacyImportDialogs::chooseFolder(
    const LegacyImportPicker& picker) {
  QFileDialog dialog(parent_, qt(picker.title));
  dialog.setObjectName(kPickerName);
  // Qt's own dialog everywhere: it can carry the message, and it behaves alike on every desktop.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setLabelText(QFileDialog::Accept, qt(picker.prompt));
  if (picker.startFolder) {
    dialog.setDirectory(QFile::decodeName(QByteArray::fromStdString(picker.startFolder->string())));
  }
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
    auto* message = new QLabel(qt(picker.message), &dialog);
    message->setObjectName(kPickerMessageName);
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    grid->addWidget(message, grid->rowCount(), 0, 1, grid->columnCount());
  }
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return std::nullopt;
  return std::filesystem::path(QFile::encodeName(chosen.front()).toStdString());
}

}  // namespace velmorine::shell
