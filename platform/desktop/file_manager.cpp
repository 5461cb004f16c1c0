#include "platform/desktop/file_manager.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QUrl>

namespace velmorine::platform {

namespace {

QUrl fileUrl(const std::filesystem::path& item) {
  return QUrl::fromLocalFile(QString::fromStdString(item.string()));
}

}  // namespace

bool openFile(const std::filesystem::path& item) {
  return QDesktopServices::openUrl(fileUrl(item));
}

void revealItem(const std::filesystem::path& item, QDBusConnection bus,
                std::function<void(bool)> done) {
  auto openParent = [item] { return openFile(item.parent_path()); };
  if (!bus.isConnected()) {
    const bool opened = openParent();
    if (done) done(opened);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(kFileManagerService), QString::fromLatin1(kFileManagerPath),
      QString::fromLatin1(kFileManagerService), QStringLiteral("ShowItems"));
  call << QStringList{fileUrl(item).toString(QUrl::FullyEncoded)} << QString();
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [watcher, openParent, done](QDBusPendingCallWatcher*) {
                     watcher->deleteLater();
                     const bool shown = !watcher->isError();
                     const bool opened = shown || openParent();
                     if (done) done(opened);
                   });
}

bool moveToTrash(const std::filesystem::path& item) {
  return QFile::moveToTrash(QString::fromStdString(item.string()));
}

}  // namespace velmorine::platform
