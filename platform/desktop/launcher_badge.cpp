#include "platform/desktop/launcher_badge.h"

#include <QCryptographicHash>
#include <QDBusMessage>
#include <QVariantMap>
#include <algorithm>
#include <utility>

namespace velmorine::platform {

LauncherBadge::LauncherBadge(QDBusConnection bus, const std::string& desktopEntry)
    : bus_(std::move(bus)),
      uri_(QString::fromStdString("application://" + desktopEntry + ".desktop")) {
  // Listeners match on the signal's interface and its first argument; the path only has to be
  // one of the program's own.
  const auto digest = QCryptographicHash::hash(uri_.toUtf8(), QCryptographicHash::Md5).toHex();
  path_ = "/com/canonical/unity/launcherentry/" + QString::fromLatin1(digest);
}

void LauncherBadge::show(std::optional<std::int64_t> count) {
  const Shown next = count ? Shown{std::clamp<std::int64_t>(*count, 0, kLauncherCountLimit), true}
                           : Shown{0, false};
  if (shown_ == next) return;
  QVariantMap properties;
  properties.insert("count", QVariant::fromValue<qint64>(next.count));
  properties.insert("count-visible", next.visible);
  auto signal = QDBusMessage::createSignal(path_, kLauncherEntryInterface, "Update");
  signal << uri_ << properties;
  // Unsent (no bus): tried again with the next change.
  if (bus_.send(signal)) shown_ = next;
}

}  // namespace velmorine::platform
