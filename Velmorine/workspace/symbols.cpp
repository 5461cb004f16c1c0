#include "Velmorine/workspace/symbols.h"

#include <QApplication>
#include <algorithm>
#include <array>

namespace velmorine::workspace {

namespace {

constexpr std::array kSymbols = {
    SymbolEntry{"arrow.clockwise", "view-refresh", QStyle::SP_BrowserReload},
    SymbolEntry{"arrow.down", "go-down", QStyle::SP_ArrowDown},
    SymbolEntry{"arrow.down.doc", "document-save", QStyle::SP_ArrowDown},
    SymbolEntry{"arrow.down.left", "go-down", QStyle::SP_ArrowDown},
    SymbolEntry{"arrow.up.arrow.down", "network-transmit-receive", QStyle::SP_ArrowUp},
    SymbolEntry{"arrow.up.arrow.down.circle", "network-idle", QStyle::SP_DriveNetIcon},
    SymbolEntry{"arrow.up.arrow.down.circle.fill", "mail-unread", QStyle::SP_MessageBoxInformation},
    SymbolEntry{"arrow.up.arrow.down.square.fill", "network-transmit-receive",
                QStyle::SP_DriveNetIcon},
    SymbolEntry{"arrow.up.doc", "document-send", QStyle::SP_ArrowUp},
    SymbolEntry{"arrow.up.right", "go-up", QStyle::SP_ArrowUp},
    SymbolEntry{"checkmark.seal", "emblem-default", QStyle::SP_DialogApplyButton},
    SymbolEntry{"chevron.up", "go-up", QStyle::SP_FileDialogToParent},
    SymbolEntry{"desktopcomputer", "computer", QStyle::SP_ComputerIcon},
    SymbolEntry{"doc", "text-x-generic", QStyle::SP_FileIcon},
    SymbolEntry{"ellipsis", "view-more", QStyle::SP_ToolBarVerticalExtensionButton},
    SymbolEntry{"ellipsis.circle", "view-more", QStyle::SP_ToolBarVerticalExtensionButton},
    SymbolEntry{"exclamationmark.shield", "security-low", QStyle::SP_MessageBoxWarning},
    SymbolEntry{"exclamationmark.triangle", "dialog-warning", QStyle::SP_MessageBoxWarning},
    SymbolEntry{"folder", "folder", QStyle::SP_DirIcon},
    SymbolEntry{"hand.raised", "action-unavailable", QStyle::SP_BrowserStop},
    SymbolEntry{"lock.fill", "changes-prevent", QStyle::SP_DialogApplyButton},
    SymbolEntry{"lock.open", "changes-allow", QStyle::SP_DialogNoButton},
    SymbolEntry{"lock.shield", "security-high", QStyle::SP_MessageBoxInformation},
    SymbolEntry{"menubar.rectangle", "user-desktop", QStyle::SP_DesktopIcon},
    SymbolEntry{"network", "network-workgroup", QStyle::SP_DriveNetIcon},
    SymbolEntry{"paperclip", "mail-attachment", QStyle::SP_FileLinkIcon},
    SymbolEntry{"pause.circle", "media-playback-pause", QStyle::SP_MediaPause},
    SymbolEntry{"pencil", "document-edit", QStyle::SP_FileDialogDetailedView},
    SymbolEntry{"person.crop.circle.badge.questionmark", "dialog-question",
                QStyle::SP_MessageBoxQuestion},
    SymbolEntry{"rectangle.stack", "phone", QStyle::SP_DriveFDIcon},
    SymbolEntry{"sidebar.right", "sidebar-show-right", QStyle::SP_ToolBarHorizontalExtensionButton},
    SymbolEntry{"tray", "folder-download", QStyle::SP_DirIcon},
    SymbolEntry{"tray.full", "folder-download", QStyle::SP_DirIcon},
    SymbolEntry{"xmark", "window-close", QStyle::SP_TitleBarCloseButton},
    SymbolEntry{"xmark.circle.fill", "edit-delete", QStyle::SP_DialogCloseButton},
};

}  // namespace

std::span<const SymbolEntry> symbolTable() { return kSymbols; }

const SymbolEntry* symbolEntry(std::string_view symbol) {
  const auto found = std::ranges::find(kSymbols, symbol, &SymbolEntry::symbol);
  return found == kSymbols.end() ? nullptr : &*found;
}

QIcon symbolIcon(std::string_view symbol, const QStyle* style) {
  if (style == nullptr) style = QApplication::style();
  const SymbolEntry* entry = symbolEntry(symbol);
  if (entry == nullptr) return style->standardIcon(QStyle::SP_FileIcon);
  return QIcon::fromTheme(QString::fromLatin1(entry->iconName.data(), entry->iconName.size()),
                          style->standardIcon(entry->fallback));
}

}  // namespace velmorine::workspace

namespace velmorine::workspace {

void paintSymbol(QPainter& painter, const QRect& rect, std::string_view symbol, const QStyle* style,
                 QIcon::Mode mode) {
  const qreal ratio = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
  QPixmap pixmap = symbolIcon(symbol, style).pixmap(rect.size(), ratio, mode);
  if (pixmap.isNull()) return;
  const QSize wanted = rect.size() * ratio;
  if (pixmap.width() < wanted.width() && pixmap.height() < wanted.height()) {
    pixmap = pixmap.scaled(wanted, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    pixmap.setDevicePixelRatio(ratio);
  }
  const QSizeF shown = pixmap.deviceIndependentSize();
  const QPointF origin(rect.x() + (rect.width() - shown.width()) / 2.0,
                       rect.y() + (rect.height() - shown.height()) / 2.0);
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.drawPixmap(origin, pixmap);
  painter.restore();
}

}  // namespace velmorine::workspace
