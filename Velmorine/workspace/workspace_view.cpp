#include "Velmorine/workspace/workspace_view.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLocale>
#include <QMimeData>
#include <QSplitter>
#include <QUrl>

#include "Velmorine/shell/language_code.h"
#include "Velmorine/workspace/detail_area.h"
#include "Velmorine/workspace/security_inspector.h"
#include "Velmorine/workspace/sidebar_view.h"

namespace velmorine::workspace {

WorkspaceView::WorkspaceView(ViewEnvironment& environment, WorkspaceViewParts parts,
                             QWidget* parent)
    : QWidget(parent), environment_(environment), launchGate_(std::move(parts.launchGate)) {
  setObjectName(QStringLiteral("workspace"));
  setMinimumSize(kMinimumContentSize);
  setAcceptDrops(true);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setChildrenCollapsible(false);
  sidebar_ = new SidebarView(environment_, splitter_);

  detailColumn_ = new QWidget(splitter_);
  detailColumn_->setObjectName(QStringLiteral("detail.column"));
  auto* detailRow = new QHBoxLayout(detailColumn_);
  detailRow->setContentsMargins(0, 0, 0, 0);
  detailRow->setSpacing(0);
  detail_ = new DetailArea(environment_, std::move(parts.panes), std::move(parts.chooseFolder),
                           detailColumn_);
  detailRow->addWidget(detail_, 1);
  inspectorColumn_ = new QWidget(detailColumn_);
  inspectorColumn_->setObjectName(QStringLiteral("inspector.column"));
  auto* inspectorRow = new QHBoxLayout(inspectorColumn_);
  inspectorRow->setContentsMargins(0, 0, 0, 0);
  inspectorRow->setSpacing(0);
  auto* divider = new QFrame(inspectorColumn_);
  divider->setFrameShape(QFrame::VLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  inspector_ = new SecurityInspector(environment_, inspectorColumn_);
  inspector_->setFixedWidth(SecurityInspector::kColumnWidth);
  inspectorRow->addWidget(divider);
  inspectorRow->addWidget(inspector_);
  detailRow->addWidget(inspectorColumn_);
  detailColumn_->installEventFilter(this);

  splitter_->addWidget(sidebar_);
  splitter_->addWidget(detailColumn_);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({SidebarView::kIdealWidth, 10000});
  row->addWidget(splitter_);

  sheets_ = new WorkspaceSheets(environment_, this, std::move(parts.makeAboutSheet));

  auto& model = environment_.model();
  for (auto signal :
       {&WorkspaceModel::snapshotPublished, &WorkspaceModel::sectionPublished,
        &WorkspaceModel::selectedPeerIDPublished, &WorkspaceModel::inspectorVisiblePublished}) {
    connect(&model, signal, this, &WorkspaceView::refreshInspector);
  }
  connect(&model, &WorkspaceModel::snapshotPublished, this, &WorkspaceView::refreshLocale);
  refreshInspector();
  refreshLocale();
}

bool WorkspaceView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == detailColumn_ && event->type() == QEvent::Resize) {
    detail_->setColumnWidth(detailColumn_->width());
    refreshInspector();
  }
  return QWidget::eventFilter(watched, event);
}

void WorkspaceView::refreshInspector() {
  auto& model = environment_.model();
  const auto* peer = model.selectedPeer();
  // In this order: the section, the wish, the room, the selection.
  const bool shown = model.section() == WorkspaceSection::conversation &&
                     model.inspectorVisible() && detailColumn_->width() >= kInspectorFrom &&
                     peer != nullptr;
  if (shown) inspector_->setPeer(*peer);
  if (inspectorColumn_->isVisibleTo(detailColumn_) != shown) inspectorColumn_->setVisible(shown);
}

void WorkspaceView::refreshLocale() {
  const auto code = shell::resolvedLanguageCode(
      environment_.language(), shell::systemPreferredLanguages(shell::processEnvironment()));
  const QLocale locale(QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size())));
  if (window()->locale() != locale) window()->setLocale(locale);
}

void WorkspaceView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  auto& model = environment_.model();
  if (!model.started) {
    model.started = true;
    if (launchGate_) launchGate_(model);
  }
  model.markWorkspaceVisible();
}

void WorkspaceView::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void WorkspaceView::dropEvent(QDropEvent* event) {
  const auto urls = event->mimeData()->urls();
  if (urls.isEmpty()) {
    event->ignore();
    return;
  }
  // The preparation current at the drop takes the files, whatever the selection does meanwhile.
  const auto preparation = environment_.model().attachments();
  const auto generation = preparation->beginImport();
  std::vector<std::filesystem::path> files;
  bool failed = false;
  for (const auto& url : urls) {
    if (url.isLocalFile() && !url.toLocalFile().isEmpty()) {
      files.emplace_back(url.toLocalFile().toStdString());
    } else {
      failed = true;
    }
  }
  preparation->importFinished(std::move(files), failed, generation);
  event->acceptProposedAction();
}

}  // namespace velmorine::workspace
