#include "Velmorine/shell/desktop_front_end.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLocale>
#include <QMainWindow>
#include <QMenuBar>
#include <QSettings>
#include <QVBoxLayout>

#include "Velmorine/shell/desktop_menu_bar.h"
#include "Velmorine/shell/desktop_tray.h"
#include "Velmorine/shell/menu_localization.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/main_queue.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/window_tracking.h"
#include "platform/bundle/bundle.h"

namespace velmorine::shell {

namespace {

// The stand-in for the settings window's content.
QWidget* settingsPlaceholder(workspace::ViewEnvironment& environment, QWidget* parent) {
  auto* content = new QWidget(parent);
  content->setObjectName(QStringLiteral("settings.content"));
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(8);
  auto* title =
      new workspace::TextLabel(workspace::TextStyle::title2, workspace::TextTone::primary, content);
  auto* version = new workspace::TextLabel(workspace::TextStyle::callout,
                                           workspace::TextTone::secondary, content);
  column->addWidget(title);
  column->addWidget(version);
  column->addStretch(1);
  auto refresh = [title, version, &environment] {
    title->setText(environment.text("settings.title"));
    const auto bundle = platform::Bundle::withDefaults();
    version->setText(environment.text("settings.version") + QStringLiteral(" ") +
                     QString::fromStdString(applicationVersionText(&bundle)));
  };
  QObject::connect(&environment.model(), &workspace::WorkspaceModel::snapshotPublished, content,
                   refresh);
  refresh();
  return content;
}

}  // namespace

std::filesystem::path windowFramesFile(const EnvironmentLookup& environment) {
  std::filesystem::path config;
  if (const auto xdg = environment("XDG_CONFIG_HOME");
      xdg && !xdg->empty() && xdg->front() == '/') {
    config = *xdg;
  } else if (const auto home = environment("HOME");
             home && !home->empty() && home->front() == '/') {
    config = std::filesystem::path(*home) / ".config";
  } else {
    return {};
  }
  return config / "Velmorine" / "windows.ini";
}

DesktopFrontEnd::DesktopFrontEnd(workspace::WorkspaceModel& model, workspace::TextLookup lookup,
                                 FrontEndParts parts)
    : model_(model), parts_(std::move(parts)) {
  environment_ = std::make_unique<workspace::ViewEnvironment>(model_, lookup);
  makeAboutSheet_ = parts_.view.makeAboutSheet
                        ? parts_.view.makeAboutSheet
                        : workspace::AboutSheetFactory(workspace::makeHelpPlaceholderSheet);
  localization_ = new MenuLocalization(lookup, this);

  main_ = new QMainWindow();
  main_->setObjectName(QStringLiteral("main"));
  main_->setWindowTitle(QStringLiteral("Velmorine"));
  workspace_ = new workspace::WorkspaceView(*environment_, std::move(parts_.view), main_);
  main_->setCentralWidget(workspace_);
  auto* tracking = new workspace::WindowTracking(model_, this);
  tracking->track(main_);
  if (!restoreFrame(main_, "main")) main_->resize(kMainSize);
  main_->installEventFilter(this);

  DesktopMenuBar::Actions menuActions;
  menuActions.showSettings = [this] { showSettings(); };
  menuActions.showAbout = [this] {
    // The about sheet on its "privacy" tab, over the main window.
    showMain();
    if (auto* sheet = makeAboutSheet_(*environment_, "privacy", main_)) {
      sheet->setAttribute(Qt::WA_DeleteOnClose);
      sheet->setWindowModality(Qt::WindowModal);
      sheet->open();
    }
  };
  menuActions.quit = [this] { quit(); };
  menus_ = new DesktopMenuBar(*environment_, main_->menuBar(), std::move(menuActions));

  DesktopTray::Actions trayActions;
  trayActions.showSettings = [this] { showSettings(); };
  trayActions.quit = [this] { quit(); };
  tray_ = std::make_unique<DesktopTray>(*environment_, std::move(trayActions));

  model_.revealWorkspace = [this] { showMain(); };
  model_.revealSettings = [this] { showSettings(); };
  connect(&model_, &workspace::WorkspaceModel::snapshotPublished, this,
          &DesktopFrontEnd::refreshTitles);

  localization_->install();
  if (parts_.attachLifecycle) {
    parts_.attachLifecycle(model_, *localization_);
  } else {
    model_.languageChanged =
        [localization = QPointer<MenuLocalization>(localization_)](const std::string& language) {
          if (localization) localization->setLanguage(language);
        };
    localization_->setLanguage(model_.snapshot().preferences.language);
  }
}

DesktopFrontEnd::~DesktopFrontEnd() {
  model_.revealWorkspace = nullptr;
  model_.revealSettings = nullptr;
  // A window hides as it goes: no frame is saved from a window half destroyed.
  if (main_) main_->removeEventFilter(this);
  if (settings_) settings_->removeEventFilter(this);
  tray_.reset();
  delete settings_;
  delete main_;
}

void DesktopFrontEnd::start() { showMain(); }

void DesktopFrontEnd::showMain() {
  if (!main_) return;
  if (main_->isMinimized()) main_->showNormal();
  main_->show();
  main_->raise();
  main_->activateWindow();
}

void DesktopFrontEnd::showSettings() {
  if (!settings_) {
    settings_ = new QWidget();
    settings_->setObjectName(QStringLiteral("settings"));
    settings_->setMinimumSize(kSettingsMinimumSize);
    auto* column = new QVBoxLayout(settings_);
    column->setContentsMargins(0, 0, 0, 0);
    auto* content = parts_.makeSettingsContent
                        ? parts_.makeSettingsContent(*environment_, settings_)
                        : settingsPlaceholder(*environment_, settings_);
    column->addWidget(content);
    if (!restoreFrame(settings_, "settings")) settings_->resize(kSettingsSize);
    settings_->installEventFilter(this);
    refreshTitles();
  }
  if (settings_->isMinimized()) settings_->showNormal();
  settings_->show();
  settings_->raise();
  settings_->activateWindow();
  if (parts_.refreshStatus) parts_.refreshStatus();
}

void DesktopFrontEnd::quit() {
  if (parts_.quit) {
    parts_.quit();
    return;
  }
  if (quitting_) return;
  quitting_ = true;
  if (main_) saveFrame(main_, "main");
  if (settings_) saveFrame(settings_, "settings");
  model_.runtime().shutdown([] { workspace::postToMainQueue([] { QCoreApplication::quit(); }); });
}

void DesktopFrontEnd::refreshTitles() {
  if (settings_) {
    const QString title = environment_->text("settings.title");
    if (settings_->windowTitle() != title) settings_->setWindowTitle(title);
    const auto code = resolvedLanguageCode(environment_->language(),
                                           systemPreferredLanguages(processEnvironment()));
    const QLocale locale(QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size())));
    if (settings_->locale() != locale) settings_->setLocale(locale);
  }
}

bool DesktopFrontEnd::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Hide || event->type() == QEvent::Close) {
    if (watched == main_) saveFrame(main_, "main");
    if (watched == settings_) saveFrame(settings_, "settings");
  }
  return false;
}

void DesktopFrontEnd::saveFrame(QWidget* window, const char* name) const {
  if (parts_.framesFile.empty() || window == nullptr) return;
  std::error_code ignored;
  std::filesystem::create_directories(parts_.framesFile.parent_path(), ignored);
  QSettings frames(QString::fromStdString(parts_.framesFile.string()), QSettings::IniFormat);
  frames.setValue(QString::fromLatin1(name) + QStringLiteral("/geometry"), window->saveGeometry());
}

bool DesktopFrontEnd::restoreFrame(QWidget* window, const char* name) const {
  if (parts_.framesFile.empty()) return false;
  const QSettings frames(QString::fromStdString(parts_.framesFile.string()), QSettings::IniFormat);
  const auto geometry =
      frames.value(QString::fromLatin1(name) + QStringLiteral("/geometry")).toByteArray();
  return !geometry.isEmpty() && window->restoreGeometry(geometry);
}

}  // namespace velmorine::shell
