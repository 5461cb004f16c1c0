#pragma once

// The system symbols the views name, each mapped to a freedesktop icon name and, for desktops
// whose icon theme lacks it, a standard icon of the style.

#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <span>
#include <string_view>

namespace velmorine::workspace {

struct SymbolEntry {
  std::string_view symbol;    // the name the views use ("lock.shield")
  std::string_view iconName;  // the freedesktop icon name
  QStyle::StandardPixmap fallback;
};

// Every symbol the views use, one row each.
std::span<const SymbolEntry> symbolTable();

// The row of `symbol`, or nullptr for a name the table does not hold.
const SymbolEntry* symbolEntry(std::string_view symbol);

// The theme's icon of the symbol, else the style's fallback; a name outside the table gives the
// style's file icon.
QIcon symbolIcon(std::string_view symbol, const QStyle* style);

// Paints the symbol filling `rect` (a square), scaling a smaller icon up.
void paintSymbol(QPainter& painter, const QRect& rect, std::string_view symbol, const QStyle* style,
                 QIcon::Mode mode = QIcon::Normal);

}  // namespace velmorine::workspace
