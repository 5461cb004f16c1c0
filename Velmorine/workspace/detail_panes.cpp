#include "Velmorine/workspace/detail_panes.h"

#include <QFileDialog>
#include <QVBoxLayout>

#include "Velmorine/workspace/conversation_view.h"
#include "Velmorine/workspace/text_label.h"

namespace velmorine::workspace {

namespace {

QWidget* titledPlaceholder(ViewEnvironment& environment, const char* key, const char* name,
                           QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setObjectName(QString::fromLatin1(name));
  auto* column = new QVBoxLayout(pane);
  auto* title = new TextLabel(TextStyle::title2, TextTone::secondary, pane);
  title->setAlignment(Qt::AlignCenter);
  column->addWidget(title);
  // The title follows the language like every other text.
  auto refresh = [title, &environment, key] { title->setText(environment.text(key)); };
  QObject::connect(&environment.model(), &WorkspaceModel::snapshotPublished, title, refresh);
  refresh();
  return pane;
}

}  // namespace

DetailPanes placeholderPanes() {
  DetailPanes panes;
  panes.makeTransfers = [](ViewEnvironment& environment, QWidget* parent) {
    return titledPlaceholder(environment, "transfers.title", "transfers.pane", parent);
  };
  panes.makeLibrary = [](ViewEnvironment& environment, QWidget* parent) {
    return titledPlaceholder(environment, "library.title", "library.pane", parent);
  };
  panes.makePreparation = [](ViewEnvironment&, QWidget* parent) {
    auto* pane = new QWidget(parent);
    pane->setObjectName(QStringLiteral("preparation.pane"));
    pane->setFixedHeight(0);
    return pane;
  };
  panes.makeConversation = [](ViewEnvironment& environment, const runtime::RuntimePeer& peer,
                              QWidget* parent) -> QWidget* {
    return new ConversationView(environment, peer, {}, parent);
  };
  return panes;
}

FolderChooser folderDialogChooser() {
  return [](QWidget* parent, std::function<void(std::optional<std::filesystem::path>)> chosen) {
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, chosen](int result) {
      const auto files = dialog->selectedFiles();
      if (result == QDialog::Accepted && !files.isEmpty() && !files.front().isEmpty()) {
        chosen(std::filesystem::path(files.front().toStdString()));
      } else {
        chosen(std::nullopt);
      }
    });
    dialog->open();
  };
}

LaunchGate startAtOnce() {
  return [](WorkspaceModel& model) { model.startRuntime()(); };
}

}  // namespace velmorine::workspace
