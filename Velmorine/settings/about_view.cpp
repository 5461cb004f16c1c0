#include "Velmorine/settings/about_view.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTabBar>
#include <QVBoxLayout>

#include "Velmorine/settings/about_links.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/text_styles.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::settings {

namespace {

constexpr const char* kTabs[] = {"privacy", "help", "licenses"};
constexpr const char* kTabKeys[] = {"about.privacy", "about.help", "about.licenses"};

int tabIndex(const std::string& tab) {
  if (tab == kTabs[0]) return 0;
  if (tab == kTabs[1]) return 1;
  return 2;
}

}  // namespace

AboutSources applicationAboutSources() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return AboutSources{&platform::Bundle::main,
                      error ? std::filesystem::path() : noticesFile(executable)};
}

AboutView::AboutView(workspace::ViewEnvironment& environment, AboutSources sources, std::string tab,
                     QWidget* parent)
    : QDialog(parent),
      environment_(environment),
      sources_(std::move(sources)),
      tab_(std::move(tab)) {
  setObjectName(QStringLiteral("about.sheet"));
  setMinimumSize(kMinimumSize);
  resize(kIdealSize);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(16);

  auto* header = new QHBoxLayout();
  auto* titles = new QVBoxLayout();
  titles->setSpacing(4);
  name_ = new workspace::TextLabel(workspace::TextStyle::title, workspace::TextTone::primary, this);
  name_->setWeight(QFont::Bold);
  name_->setText(QString::fromLatin1(kProductName));
  version_ =
      new workspace::TextLabel(workspace::TextStyle::callout, workspace::TextTone::secondary, this);
  version_->setObjectName(QStringLiteral("about.version"));
  free_ =
      new workspace::TextLabel(workspace::TextStyle::body, workspace::TextTone::secondary, this);
  free_->setWrapping(true);
  titles->addWidget(name_);
  titles->addWidget(version_);
  titles->addWidget(free_);
  header->addLayout(titles, 1);
  done_ = new QPushButton(this);
  done_->setObjectName(QStringLiteral("action.done"));
  done_->setAutoDefault(false);
  // Escape rejects the dialog as well: the button's cancel shortcut.
  connect(done_, &QPushButton::clicked, this, &QDialog::reject);
  header->addWidget(done_, 0, Qt::AlignVCenter);
  column->addLayout(header);

  tabs_ = new QTabBar(this);
  tabs_->setObjectName(QStringLiteral("about.tabs"));
  tabs_->setFocusPolicy(Qt::StrongFocus);
  tabs_->setExpanding(false);
  tabs_->setDrawBase(false);
  for (int i = 0; i < 3; ++i) tabs_->addTab(QString());
  tabs_->setCurrentIndex(tabIndex(tab_));
  connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
    if (index < 0 || index > 2 || tabIndex(tab_) == index) return;
    setTab(kTabs[index]);
  });
  column->addWidget(tabs_);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("about.content"));
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  column->addWidget(scroll_, 1);

  notices_ = new QPlainTextEdit(this);
  notices_->setObjectName(QStringLiteral("about.notices"));
  notices_->setReadOnly(true);
  notices_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSizeF(workspace::fontFor(workspace::TextStyle::caption, font()).pointSizeF());
  notices_->setFont(mono);
  column->addWidget(notices_, 1);

  connect(&environment_.model(), &workspace::WorkspaceModel::snapshotPublished, this,
          &AboutView::followSnapshot);
  language_ = environment_.language();
  refreshTexts();
}

void AboutView::setTab(std::string tab) {
  tab_ = std::move(tab);
  if (tabs_->currentIndex() != tabIndex(tab_)) {
    const QSignalBlocker quiet(tabs_);
    tabs_->setCurrentIndex(tabIndex(tab_));
  }
  buildContent();
}

void AboutView::followSnapshot() {
  if (environment_.language() == language_) return;
  language_ = environment_.language();
  refreshTexts();
}

void AboutView::refreshTexts() {
  setWindowTitle(environment_.text("settings.about"));
  const auto bundle = sources_.bundle();
  version_->setText(environment_.text("settings.version") + QStringLiteral(" \u00b7 ") +
                    QString::fromStdString(shell::applicationVersionText(&bundle)));
  free_->setText(environment_.text("about.free"));
  done_->setText(workspace::buttonTitle(environment_.text("action.done")));
  tabs_->setAccessibleName(environment_.text("settings.about"));
  for (int i = 0; i < 3; ++i) tabs_->setTabText(i, environment_.text(kTabKeys[i]));
  buildContent();
}

QPushButton* AboutView::addLink(const char* key, const QUrl& url) {
  auto* link = new QPushButton(workspace::buttonTitle(environment_.text(key)), content_);
  link->setObjectName(QStringLiteral("link.") + QString::fromLatin1(key));
  link->setFlat(true);
  // Return works the focused link, as Space does.
  link->setAutoDefault(true);
  link->setCursor(Qt::PointingHandCursor);
  link->setToolTip(workspace::escapedToolTip(url.toString()));
  QFont font = link->font();
  font.setUnderline(true);
  link->setFont(font);
  link->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); text-align: left; }"));
  connect(link, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
  column_->addWidget(link, 0, Qt::AlignLeft);
  return link;
}

void AboutView::buildContent() {
  const int index = tabIndex(tab_);
  const bool licences = index == 2;
  scroll_->setVisible(!licences);
  notices_->setVisible(licences);
  if (licences) {
    // Read afresh each time the tab is built; shown as it is.
    notices_->setPlainText(noticesText(sources_.notices));
    return;
  }

  content_ = new QWidget();
  column_ = new QVBoxLayout(content_);
  column_->setContentsMargins(0, 8, 0, 8);
  column_->setSpacing(18);
  auto addText = [this](const char* key) {
    auto* text = new workspace::TextLabel(workspace::TextStyle::body, workspace::TextTone::primary,
                                          content_);
    text->setObjectName(QString::fromLatin1(key));
    text->setWrapping(true);
    text->setSelectable(true);
    text->setText(environment_.text(key));
    column_->addWidget(text);
  };
  const auto bundle = sources_.bundle();
  if (index == 0) {
    addText("about.privacyBody");
    addText("about.localData");
    addText("about.permissions");
    if (const auto url = validatedInfoLink(bundle, kPrivacyURLKey)) addLink("about.privacy", *url);
  } else {
    addText("about.helpBody");
    addText("about.updates");
    if (const auto url = validatedInfoLink(bundle, kSupportURLKey)) addLink("about.website", *url);
    if (const auto url = downloadLink(bundle)) addLink("about.downloadUpdate", *url);
  }
  column_->addStretch(1);
  // The old content goes with its replacement.
  scroll_->setWidget(content_);
}

workspace::AboutSheetFactory aboutSheetFactory(AboutSources sources) {
  return [sources = std::move(sources)](workspace::ViewEnvironment& environment,
                                        const std::string& tab, QWidget* parent) -> QDialog* {
    return new AboutView(environment, sources, tab, parent);
  };
}

}  // namespace velmorine::settings
