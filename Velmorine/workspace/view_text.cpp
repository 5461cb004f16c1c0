#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

QString escapedToolTip(const QString& text) {
  if (text.isEmpty()) return text;
  // Qt guesses whether a tooltip is rich text; forcing it, with the text escaped, shows the
  // text as it is.
  return QStringLiteral("<qt>") + text.toHtmlEscaped() + QStringLiteral("</qt>");
}

QString buttonTitle(const QString& text) {
  QString title = text;
  title.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return title;
}

}  // namespace velmorine::workspace
