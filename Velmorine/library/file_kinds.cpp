#include "Velmorine/library/file_kinds.h"

#include <QMimeDatabase>
#include <QString>

namespace velmorine::library {

FileKind fileKindOfName(std::string_view name) {
  // The database is safe to use from any thread.
  static const QMimeDatabase database;
  const QMimeType type =
      database.mimeTypeForFile(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())),
                               QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return FileKind::none;
  const QString mime = type.name();
  if (mime.startsWith(QLatin1String("image/"))) return FileKind::image;
  if (mime.startsWith(QLatin1String("video/"))) return FileKind::movie;
  if (mime.startsWith(QLatin1String("audio/"))) return FileKind::audio;
  if (mime == QLatin1String("application/pdf")) return FileKind::pdf;
  if (type.inherits(QStringLiteral("text/plain"))) return FileKind::plainText;
  return FileKind::other;
}

}  // namespace velmorine::library
