#include "Velmorine/library/preparation_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::library {

namespace {

using transfer::ContentFailure;
using workspace::TextLabel;
using workspace::TextStyle;
using workspace::TextTone;

}  // namespace

PreparationView::PreparationView(workspace::ViewEnvironment& environment,
                                 std::shared_ptr<workspace::AttachmentPreparation> preparation,
                                 QWidget* parent)
    : QWidget(parent), environment_(environment) {
  setObjectName(QStringLiteral("composer.attachments"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(8);

  list_ = new QScrollArea;
  list_->setObjectName(QStringLiteral("composer.attachmentList"));
  list_->setWidgetResizable(true);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  list_->setFrameShape(QFrame::NoFrame);
  listContent_ = new QWidget;
  listColumn_ = new QVBoxLayout(listContent_);
  listColumn_->setContentsMargins(0, 0, 0, 0);
  listColumn_->setSpacing(6);
  listColumn_->addStretch(1);
  list_->setWidget(listContent_);
  column->addWidget(list_);

  summary_ = new TextLabel(TextStyle::body);
  summary_->setObjectName(QStringLiteral("composer.attachmentSummary"));
  clear_ = new QPushButton;
  clear_->setObjectName(QStringLiteral("composer.clearAttachments"));
  summaryRow_ = new QWidget;
  auto* summaryLine = new QHBoxLayout(summaryRow_);
  summaryLine->setContentsMargins(0, 0, 0, 0);
  summaryLine->addWidget(summary_, 0, Qt::AlignBaseline);
  summaryLine->addWidget(clear_, 0, Qt::AlignBaseline);
  summaryLine->addStretch(1);
  column->addWidget(summaryRow_);
  connect(clear_, &QPushButton::clicked, this, [this] {
    if (preparation_) preparation_->clear();
    refresh();
  });

  spinner_ = new QProgressBar;
  spinner_->setRange(0, 0);
  spinner_->setTextVisible(false);
  spinner_->setMaximumWidth(48);
  spinner_->setMaximumHeight(12);
  progressText_ = new TextLabel(TextStyle::caption);
  cancel_ = new QPushButton;
  cancel_->setObjectName(QStringLiteral("composer.cancelPreparation"));
  progressRow_ = new QWidget;
  progressRow_->setObjectName(QStringLiteral("composer.progress"));
  auto* progressLine = new QHBoxLayout(progressRow_);
  progressLine->setContentsMargins(0, 0, 0, 0);
  progressLine->setSpacing(8);
  progressLine->addWidget(spinner_, 0, Qt::AlignVCenter);
  progressLine->addWidget(progressText_, 0, Qt::AlignVCenter);
  progressLine->addWidget(cancel_, 0, Qt::AlignVCenter);
  progressLine->addStretch(1);
  column->addWidget(progressRow_);
  connect(cancel_, &QPushButton::clicked, this, [this] {
    if (!preparation_) return;
    preparation_->cancel();
    preparation_->setError(ContentFailure::Case::cancelled);
    refresh();
  });

  failure_ = new workspace::SymbolLabel(TextStyle::body);
  failure_->setObjectName(QStringLiteral("composer.failure"));
  failure_->label()->setWrapping(true);
  failureButton_ = new QPushButton;
  failureButton_->setObjectName(QStringLiteral("composer.failureAction"));
  failureRow_ = new QWidget;
  auto* failureLine = new QHBoxLayout(failureRow_);
  failureLine->setContentsMargins(0, 0, 0, 0);
  failureLine->setSpacing(8);
  failureLine->addWidget(failure_, 1);
  failureLine->addWidget(failureButton_);
  column->addWidget(failureRow_);
  connect(failureButton_, &QPushButton::clicked, this, [this] {
    if (!preparation_) return;
    if (preparation_->selections().empty()) {
      preparation_->clear();
    } else {
      preparation_->prepare();
    }
    refresh();
  });

  consent_ = new QCheckBox;
  consent_->setObjectName(QStringLiteral("transfer.packageConsent"));
  column->addWidget(consent_);
  connect(consent_, &QCheckBox::clicked, this, [this](bool on) {
    if (preparation_) preparation_->setAllowPackages(on);
    refresh();
  });

  recipientHint_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  recipientHint_->setObjectName(QStringLiteral("composer.chooseRecipient"));
  recipientHint_->setWrapping(true);
  column->addWidget(recipientHint_);

  connect(&environment_.model(), &workspace::WorkspaceModel::snapshotPublished, this,
          &PreparationView::refresh);
  setPreparation(std::move(preparation));
}

void PreparationView::setPreparation(
    std::shared_ptr<workspace::AttachmentPreparation> preparation) {
  if (preparation == preparation_ && preparation_) return;
  observation_.reset();
  preparation_ = std::move(preparation);
  if (preparation_) {
    observation_ = preparation_->observe([this] { refresh(); });
  }
  shownSelections_.clear();
  rebuildRows({});
  refresh();
}

void PreparationView::rebuildRows(const std::vector<transfer::ContentUrl>& selections) {
  while (listColumn_->count() > 1) {
    QLayoutItem* item = listColumn_->takeAt(0);
    delete item->widget();
    delete item;
  }
  int index = 0;
  for (const auto& url : selections) {
    const QString name = QString::fromStdString(url.lastPathComponent());
    auto* rowWidget = new QWidget;
    rowWidget->setObjectName(QStringLiteral("composer.attachment"));
    auto* line = new QHBoxLayout(rowWidget);
    line->setContentsMargins(8, 8, 8, 8);
    line->addWidget(new workspace::DecorativeSymbol(url.hasDirectoryPath() ? "folder" : "doc",
                                                    TextStyle::body));
    auto* label = new TextLabel(TextStyle::body);
    label->setObjectName(QStringLiteral("composer.filename"));
    label->setElided(true);
    label->setText(name);
    label->setAccessibleName(name);
    line->addWidget(label, 1);
    auto* removal = new QToolButton;
    removal->setObjectName(QStringLiteral("composer.remove"));
    removal->setAutoRaise(true);
    removal->setIcon(workspace::symbolIcon("xmark.circle.fill", style()));
    removal->setAccessibleName(environment_.text("transfer.remove") + QLatin1Char(' ') + name);
    removal->setToolTip(workspace::escapedToolTip(removal->accessibleName()));
    connect(removal, &QToolButton::clicked, this, [this, url] { this->remove(url); });
    line->addWidget(removal);
    listColumn_->insertWidget(index++, rowWidget);
  }
}

void PreparationView::remove(const transfer::ContentUrl& url) {
  if (!preparation_) return;
  auto selections = preparation_->selections();
  std::erase(selections, url);
  preparation_->setSelections(std::move(selections));
  preparation_->prepare();
  refresh();
}

void PreparationView::refresh() {
  const std::vector<transfer::ContentUrl> selections =
      preparation_ ? preparation_->selections() : std::vector<transfer::ContentUrl>{};
  if (selections != shownSelections_) {
    rebuildRows(selections);
    shownSelections_ = selections;
  } else {
    // Texts of the rows follow the language.
    for (auto* remove :
         listContent_->findChildren<QToolButton*>(QStringLiteral("composer.remove"))) {
      const auto* label =
          remove->parentWidget()->findChild<TextLabel*>(QStringLiteral("composer.filename"));
      remove->setAccessibleName(environment_.text("transfer.remove") + QLatin1Char(' ') +
                                label->text());
    }
  }
  const auto count = static_cast<qlonglong>(selections.size());
  const bool any = count > 0;
  list_->setVisible(any);
  list_->setFixedHeight(
      static_cast<int>(std::min<qlonglong>(count * kRowHeight, kGreatestListHeight)));
  summaryRow_->setVisible(any);
  const auto prepared = preparation_ ? preparation_->prepared() : std::nullopt;
  if (prepared && prepared->batch) {
    summary_->setText(environment_.text("composer.attachmentSummary")
                          .arg(count)
                          .arg(QString::fromStdString(shell::formattedByteCount(
                              prepared->batch->totalBytes(), environment_.language()))));
  } else if (prepared) {
    summary_->setText(
        environment_.text("composer.attachmentSummary")
            .arg(count)
            .arg(QString::fromStdString(shell::formattedByteCount(0, environment_.language()))));
  } else {
    summary_->setText(environment_.text("composer.attachmentCount").arg(count));
  }
  clear_->setText(workspace::buttonTitle(environment_.text("composer.clearAttachments")));

  const bool preparing = preparation_ && preparation_->preparing();
  const std::int64_t imports = preparation_ ? preparation_->pendingImports() : 0;
  progressRow_->setVisible(imports > 0 || preparing);
  progressText_->setText(environment_.text("composer.preparingAttachments"));
  spinner_->setAccessibleName(progressText_->text());
  cancel_->setVisible(preparing);
  cancel_->setText(workspace::buttonTitle(environment_.text("action.cancel")));

  bool failed = false;
  ContentFailure::Case failure = ContentFailure::Case::io;
  if (preparation_) {
    if (const auto error = preparation_->error()) {
      failed = true;
      failure = *error;
    }
  }
  failureRow_->setVisible(failed);
  if (failed) {
    failure_->setContent(
        "exclamationmark.triangle",
        environment_.text("transfer.error." + std::string(transfer::rawValue(failure))));
    if (!any) {
      failureButton_->setVisible(true);
      failureButton_->setEnabled(true);
      failureButton_->setText(workspace::buttonTitle(environment_.text("action.dismiss")));
    } else if (failure == ContentFailure::Case::packageReview) {
      failureButton_->setVisible(false);
    } else {
      failureButton_->setVisible(true);
      failureButton_->setEnabled(imports <= 0);
      failureButton_->setText(
          workspace::buttonTitle(environment_.text("composer.retryAttachments")));
    }
  }
  const bool allow = preparation_ && preparation_->allowPackages();
  consent_->setVisible((failed && failure == ContentFailure::Case::packageReview) || allow);
  consent_->setChecked(allow);
  consent_->setText(environment_.text("transfer.packageConsent"));
  recipientHint_->setVisible(any && preparation_ && !preparation_->recipientID());
  recipientHint_->setText(environment_.text("composer.chooseRecipient"));
}

}  // namespace velmorine::library
