#pragma once

// Increased contrast from the desktop: the settings portal's "contrast" of the appearance
// namespace (1: higher contrast), read at start and followed as it changes. Desktops without the
// portal leave contrast as it is. Linux has no reduce-transparency setting: it stays off.

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QVariant>

#include "Velmorine/workspace/view_environment.h"

namespace velmorine::shell {

class DesktopContrast : public QObject {
  Q_OBJECT

 public:
  DesktopContrast(workspace::ViewEnvironment& environment, QDBusConnection bus,
                  QObject* parent = nullptr);

  static constexpr const char* kService = "org.freedesktop.portal.Desktop";
  static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
  static constexpr const char* kInterface = "org.freedesktop.portal.Settings";

 public Q_SLOTS:
  // The portal's SettingChanged signal.
  void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

 private:
  void apply(const QVariant& value);

  workspace::ViewEnvironment& environment_;
};

}  // namespace velmorine::shell
