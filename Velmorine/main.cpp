// velmorine: the program. It takes no command line; it shows its windows on the desktop it finds,
// runs once per login, and keeps running in the tray while its windows are closed.

#include <QApplication>
#include <QDBusConnection>
#include <cstdio>

#include "Velmorine/library/library_panes.h"
#include "Velmorine/shell/desktop_contrast.h"
#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/shell/display_check.h"
#include "Velmorine/shell/single_instance.h"
#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/view_environment.h"
#include "Velmorine/workspace/workspace_model.h"
#include "native/product/product_identifier.h"
#include "native/protocol/frame_memory.h"

int main(int argc, char** argv) {
  // Large frames stay fast: before any thread starts.
  velmorine::protocol::keep_frame_buffers_on_heap();

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

  // One program per login: a second start shows the first and ends.
  QDBusConnection bus = QDBusConnection::sessionBus();
  std::function<void()> reveal;
  velmorine::shell::ApplicationActivation activation([&reveal] {
    if (reveal) reveal();
  });
  if (bus.isConnected()) activation.exportOn(bus, identifier);
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
  parts.view.panes = velmorine::library::withLibraryPanes(std::move(parts.view.panes));
  velmorine::shell::DesktopFrontEnd frontEnd(model, velmorine::workspace::applicationTextLookup(),
                                             std::move(parts));
  velmorine::shell::DesktopContrast contrast(frontEnd.environment(), bus);
  reveal = [&frontEnd] { frontEnd.showMain(); };
  frontEnd.start();
  const int status = QApplication::exec();
  reveal = nullptr;
  return status;
}
