#include "Velmorine/workspace/application_appearance.h"

#include <QApplication>
#include <QColor>
#include <QGuiApplication>
#include <QStyle>
#include <QStyleFactory>
#include <memory>

namespace velmorine::workspace {

Appearance appearanceOfPreference(std::string_view preference) {
  if (preference == "light") return Appearance::light;
  if (preference == "dark") return Appearance::dark;
  return Appearance::system;
}

QPalette darkPalette() {
  const QColor window(0x2b, 0x2b, 0x2e);
  const QColor base(0x1e, 0x1e, 0x20);
  const QColor text(0xe8, 0xe8, 0xea);
  const QColor disabledText(0x7f, 0x7f, 0x84);
  const QColor highlight(0x3d, 0x7e, 0xd8);

  QPalette palette;
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x29));
  palette.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3e));
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::PlaceholderText, disabledText);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, QColor(0x35, 0x35, 0x39));
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
  palette.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4f));
  palette.setColor(QPalette::Midlight, QColor(0x3e, 0x3e, 0x43));
  palette.setColor(QPalette::Mid, QColor(0x28, 0x28, 0x2b));
  palette.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
  palette.setColor(QPalette::Shadow, QColor(0x0a, 0x0a, 0x0b));
  palette.setColor(QPalette::Highlight, highlight);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(0x6c, 0xa8, 0xf5));
  palette.setColor(QPalette::LinkVisited, QColor(0xa7, 0x8b, 0xf0));
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, disabledText);
  }
  palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x4a, 0x4a, 0x4f));
  return palette;
}

bool ApplicationAppearance::apply(std::string_view preference) {
  const auto wanted = appearanceOfPreference(preference);
  if (wanted == current_ ||
      qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    return false;
  }
  QPalette palette;  // resolves nothing: every role comes from the desktop theme again
  if (wanted == Appearance::light) {
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    if (fusion) palette = fusion->standardPalette();
  } else if (wanted == Appearance::dark) {
    palette = darkPalette();
  }
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) {
    QApplication::setPalette(palette);
  } else {
    QGuiApplication::setPalette(palette);
  }
  current_ = wanted;
  return true;
}

}  // namespace velmorine::workspace
