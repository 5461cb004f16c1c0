#pragma once

// The count on the program's launcher icon, for docks and panels that follow the Unity
// launcher API: a com.canonical.Unity.LauncherEntry.Update signal on the session bus naming the
// program's desktop entry. The signal is sent when what it shows changes (and the first time).

#include <QDBusConnection>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

namespace velmorine::platform {

inline constexpr const char* kLauncherEntryInterface = "com.canonical.Unity.LauncherEntry";
// The largest count shown; the launcher draws it as it likes.
inline constexpr std::int64_t kLauncherCountLimit = 1000;

class LauncherBadge {
 public:
  // `desktopEntry`: the entry's name without ".desktop" (the product identifier).
  LauncherBadge(QDBusConnection bus, const std::string& desktopEntry);

  // A count to show (clamped to 0..1000), or none for no badge.
  void show(std::optional<std::int64_t> count);

  const QString& applicationURI() const { return uri_; }

 private:
  QDBusConnection bus_;
  QString uri_;
  QString path_;
  struct Shown {
    std::int64_t count = 0;
    bool visible = false;
    friend bool operator==(const Shown&, const Shown&) = default;
  };
  std::optional<Shown> shown_;
};

}  // namespace velmorine::platform
