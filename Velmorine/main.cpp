// velmorine: the program. It takes no command line; it shows its windows on the desktop it finds,
// runs once per login, and keeps running in the tray while its windows are closed.

#include <QApplication>
#include <QDBusConnection>
#include <cstdio>

#include "Velmorine/library/library_panes.h"
#include "Velmorine/settings/about_view.h"
#include "Velmorine/settings/settings_parts.h"
#include "Velmorine/settings/settings_view.h"
#include "Velmorine/shell/desktop_contrast.h"
#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/shell/display_check.h"
#include "Velmorine/shell/legacy_import_gate.h"
#include "Velmorine/shell/menu_localization.h"
#include "Velmorine/shell/menu_retitling.h"
#include "Velmorine/shell/single_instance.h"
#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/view_environment.h"
#include "Velmorine/workspace/workspace_model.h"
#include "native/product/product_identifier.h"
#include "native/protocol/frame_memory.h"
#include "platform/desktop/quit_signals.h"

namespace {

// The lifecycle retitles the front end's menus on a language change.
class FrontEndMenus final : public velmorine::shell::MenuRetitling {
 public:
  explicit FrontEndMenus(velmorine::shell::MenuLocalization& menus) : menus_(menus) {}
  void install() override { menus_.install(); }
  void setLanguage(const std::string& language) override { menus_.setLanguage(language); }
  void refresh() override { menus_.refresh(); }

 private:
  velmorine::shell::MenuLocalization& menus_;
};

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: large frames stay fast, and every thread keeps the quit signals
  // blocked so that only the lifecycle's signal reader takes them.
  velmorine::protocol::keep_frame_buffers_on_heap();
  velmorine::platform::blockQuitSignals();

  const auto environment = velmorine::shell::processEnvironment();
  if (const auto missing = velmorine::shell::missingDisplay(environment)) {
    std::fprintf(stderr, "%s\n", missing->c_str());
    return 1;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmorine"));
  QApplication::setApplicationDisplayName(QStringLiteral("Velmorine"));
  const QString identifier =
      QString::fromLatin1(velmorine::kProductIdentifier.data(),
                          static_cast<qsizetype>(velmorine::kProductIdentifier.size()));
  QGuiApplication::setDesktopFileName(identifier);
  // The program lives on in the tray while its windows are closed.
  QApplication::setQuitOnLastWindowClosed(false);

  // The lifecycle answers Activate on the program's bus name: a second start shows this one.
  auto lifecycle = std::make_unique<velmorine::shell::DesktopLifecycle>(
      velmorine::shell::DesktopLifecycle::applicationEnvironment(
          QCoreApplication::applicationFilePath().toStdString()));

  // One program per login: a second start shows the first and ends.
  QDBusConnection bus = QDBusConnection::sessionBus();
  switch (velmorine::shell::claimSingleInstance(bus, identifier)) {
    case velmorine::shell::InstanceClaim::revealedOther:
    case velmorine::shell::InstanceClaim::otherSilent:
      return 0;
    case velmorine::shell::InstanceClaim::claimed:
    case velmorine::shell::InstanceClaim::noBus:
      break;
  }

  velmorine::workspace::WorkspaceModel model(velmorine::workspace::contentAttachmentFactory());
  velmorine::shell::FrontEndParts parts;
  parts.framesFile = velmorine::shell::windowFramesFile(environment);
  parts.attachLifecycle = [&lifecycle](velmorine::workspace::WorkspaceModel& attached,
                                       velmorine::shell::MenuLocalization& menus) {
    lifecycle->setMenuRetitling(std::make_shared<FrontEndMenus>(menus));
    lifecycle->attach(attached);
  };
  // The settings view refreshes the lifecycle's status each time it shows.
  parts.makeSettingsContent = [&lifecycle](velmorine::workspace::ViewEnvironment& views,
                                           QWidget* parent) -> QWidget* {
    return new velmorine::settings::SettingsView(
        views, *lifecycle, velmorine::settings::applicationSettingsParts(), parent);
  };
  parts.view.makeAboutSheet = velmorine::settings::aboutSheetFactory();
  parts.quit = [&lifecycle] { lifecycle->requestQuit(); };
  parts.view.panes = velmorine::library::withLibraryPanes(std::move(parts.view.panes));
  // The runtime's first start passes the import gate: a pending import is finished before the
  // store opens, and the one-time offer is settled; once quitting began it starts nothing.
  parts.view.launchGate = [&lifecycle](velmorine::workspace::WorkspaceModel& gated) {
    const auto quitting = [&lifecycle] {
      const auto state = lifecycle->terminationState();
      return state == velmorine::shell::TerminationCoordinator::State::cleaning ||
             state == velmorine::shell::TerminationCoordinator::State::finished;
    };
    velmorine::shell::offerLegacyImportAtLaunch(
        QPointer<velmorine::workspace::WorkspaceModel>(&gated),
        velmorine::shell::applicationLegacyImport(quitting));
  };
  velmorine::shell::DesktopFrontEnd frontEnd(model, velmorine::workspace::applicationTextLookup(),
                                             std::move(parts));
  velmorine::shell::DesktopContrast contrast(frontEnd.environment(), bus);
  lifecycle->installQuitSignals();
  frontEnd.start();
  const int status = QApplication::exec();
  // The lifecycle goes first: its hooks into the model and the menus end with it.
  lifecycle.reset();
  return status;
}
