#include "Velmorine/settings/about_section.h"

#include <QHBoxLayout>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/settings/settings_view.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::settings {

AboutSection::AboutSection(SettingsView& view) : view_(view) {
  setObjectName(QStringLiteral("settings.about"));
  auto* column = new QVBoxLayout(this);
  column->setSpacing(8);
  details_ = new QPushButton(this);
  details_->setObjectName(QStringLiteral("about.details"));
  details_->setAutoDefault(true);
  column->addWidget(details_, 0, Qt::AlignLeft);
  connect(details_, &QPushButton::clicked, this, [this] { view_.setShowAbout(true); });

  if (view_.parts().legacyImportSupported) {
    auto* row = new QHBoxLayout();
    import_ = new QPushButton(this);
    import_->setObjectName(QStringLiteral("migration.title"));
    import_->setAutoDefault(true);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("migration.progress"));
    // Busy, small: no amount is known while the picker is open.
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);
    progress_->setMaximumSize(96, 12);
    progress_->setVisible(false);
    row->addWidget(import_);
    row->addWidget(progress_);
    row->addStretch(1);
    column->addLayout(row);
    connect(import_, &QPushButton::clicked, this, &AboutSection::startImport);
  }

  version_ =
      new workspace::TextLabel(workspace::TextStyle::body, workspace::TextTone::primary, this);
  version_->setObjectName(QStringLiteral("settings.version"));
  version_->setSelectable(true);
  privacy_ =
      new workspace::TextLabel(workspace::TextStyle::caption, workspace::TextTone::secondary, this);
  privacy_->setObjectName(QStringLiteral("welcome.privacy"));
  privacy_->setWrapping(true);
  column->addWidget(version_);
  column->addWidget(privacy_);
  const auto bundle = view_.parts().about.bundle();
  versionText_ = QString::fromStdString(shell::applicationVersionText(&bundle));
  refresh();
}

void AboutSection::setImporting(bool importing) {
  importing_ = importing;
  refresh();
}

void AboutSection::startImport() {
  if (import_ == nullptr || importing_ || view_.model().hasWorkInProgress()) return;
  setImporting(true);
  const std::string language = view_.model().snapshot().preferences.language;
  view_.parts().chooseImportSource(language, [self = QPointer(this), parts = view_.parts(),
                                              language](shell::LegacyImportOutcome outcome) {
    if (self) self->setImporting(false);
    if (!outcome) {
      if (parts.presentImportFailure) parts.presentImportFailure(outcome.error(), language);
    } else if (*outcome) {
      if (parts.presentImportReady) parts.presentImportReady(language);
    }
  });
}

void AboutSection::refresh() {
  const auto& text = view_.environment();
  setTitle(text.text("settings.about"));
  details_->setText(workspace::buttonTitle(text.text("about.details")));
  if (import_ != nullptr) {
    import_->setText(workspace::buttonTitle(text.text("migration.title")));
    import_->setEnabled(!importing_ && !view_.model().hasWorkInProgress());
    progress_->setVisible(importing_);
  }
  version_->setText(text.text("settings.version") + QStringLiteral(" \u00b7 ") + versionText_);
  privacy_->setText(text.text("welcome.privacy"));
}

}  // namespace velmorine::settings
