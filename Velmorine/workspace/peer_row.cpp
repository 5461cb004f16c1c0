#include "Velmorine/workspace/peer_row.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include "Velmorine/workspace/peer_status.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_styles.h"
#include "native/protocol/uuid.h"

namespace velmorine::workspace {

namespace {

constexpr int kVerticalPadding = 7;
constexpr int kHorizontalPadding = 8;
constexpr int kIconColumn = 26;
constexpr int kSpacing = 10;
constexpr int kLineSpacing = 4;
constexpr int kBadgeHorizontal = 7;
constexpr int kBadgeVertical = 3;
constexpr int kPlaceholderPadding = 8;

QFont badgeFont(const QFont& base) {
  QFont font = fontFor(TextStyle::caption, base);
  font.setBold(true);
  return font;
}

QString badgeText(std::int64_t count) { return QString::number(count); }

}  // namespace

SharedNames::SharedNames(const std::vector<runtime::RuntimePeer>& peers) {
  QSet<QString> seen;
  seen.reserve(static_cast<qsizetype>(peers.size()));
  for (const auto& peer : peers) {
    QString folded = QString::fromStdString(peer.name).toCaseFolded();
    if (seen.contains(folded)) {
      shared_.insert(std::move(folded));
    } else {
      seen.insert(std::move(folded));
    }
  }
}

bool SharedNames::contains(const std::string& name) const {
  if (shared_.isEmpty()) return false;
  return shared_.contains(QString::fromStdString(name).toCaseFolded());
}

std::optional<QString> disambiguationLine(const runtime::RuntimePeer& peer,
                                          const SharedNames& shared) {
  if (!shared.contains(peer.name)) return std::nullopt;
  const auto id = core::Uuid::parse(peer.wireID);
  if (!id) return std::nullopt;
  QString digits = QString::fromStdString(id->to_string()).remove(QLatin1Char('-')).toUpper();
  return QString::fromStdString(peer.platform) + QStringLiteral(" \u00b7 ") + digits.left(6);
}

PeerRowContent peerRowContent(const runtime::RuntimePeer& peer, std::int64_t unread,
                              const SharedNames& shared, const ViewEnvironment& environment) {
  PeerRowContent content;
  content.symbol = peer.blocked ? std::string("hand.raised") : peer.symbolName();
  content.name = QString::fromStdString(peer.name);
  content.disambiguation = disambiguationLine(peer, shared);
  content.status = environment.text(peerStatusKey(peer));
  content.unread = unread;
  QStringList spoken{content.name};
  if (content.disambiguation) spoken.push_back(*content.disambiguation);
  spoken.push_back(content.status);
  if (unread >= 1) {
    content.unreadLabel =
        environment.text("peers.unread") + QStringLiteral(": ") + badgeText(unread);
    spoken.push_back(*content.unreadLabel);
  }
  content.accessibleText = spoken.join(QStringLiteral(", "));
  return content;
}

PeerRowDelegate::PeerRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QSize PeerRowDelegate::sizeHint(const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  const QFont base = option.font;
  if (index.data(kPlaceholderRole).toBool()) {
    const QFontMetrics callout(fontFor(TextStyle::callout, base));
    const int lines = std::max(
        1,
        callout.boundingRect(
                   QRect(0, 0, std::max(40, option.rect.width() - 2 * kHorizontalPadding), 10000),
                   Qt::TextWordWrap, index.data(Qt::DisplayRole).toString())
                .height() /
            callout.lineSpacing());
    return {option.rect.width(), lines * callout.lineSpacing() + 2 * kPlaceholderPadding};
  }
  const auto content = index.data(kPeerContentRole).value<PeerRowContent>();
  const QFontMetrics body(base);
  const QFontMetrics caption(fontFor(TextStyle::caption, base));
  int height = body.height() + kLineSpacing + caption.height();
  if (content.disambiguation) height += kLineSpacing + caption.height();
  const int icon = QFontMetrics(fontFor(TextStyle::title3, base)).height();
  return {option.rect.width(), std::max(height, icon) + 2 * kVerticalPadding};
}

void PeerRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  QStyleOptionViewItem panel = option;
  initStyleOption(&panel, index);
  panel.text.clear();
  panel.icon = QIcon();
  const QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, option.widget);

  const bool selected = option.state & QStyle::State_Selected;
  const QPalette::ColorGroup group =
      !(option.state & QStyle::State_Enabled)
          ? QPalette::Disabled
          : ((option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive);
  const QColor primary =
      option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::WindowText);
  QColor secondary = option.palette.color(group, QPalette::PlaceholderText);
  if (selected) {
    secondary = primary;
    secondary.setAlphaF(0.75);
  }
  const QRect area = option.rect.adjusted(kHorizontalPadding, 0, -kHorizontalPadding, 0);
  const QFont base = option.font;

  painter->save();
  if (index.data(kPlaceholderRole).toBool()) {
    painter->setFont(fontFor(TextStyle::callout, base));
    painter->setPen(option.palette.color(group, QPalette::PlaceholderText));
    painter->drawText(area.adjusted(0, kPlaceholderPadding, 0, -kPlaceholderPadding),
                      Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
    return;
  }

  const auto content = index.data(kPeerContentRole).value<PeerRowContent>();
  const QRect inner = area.adjusted(0, kVerticalPadding, 0, -kVerticalPadding);

  // Icon column.
  const int iconSide = QFontMetrics(fontFor(TextStyle::title3, base)).height();
  const QRect iconRect(inner.left() + (kIconColumn - iconSide) / 2,
                       inner.top() + (inner.height() - iconSide) / 2, iconSide, iconSide);
  paintSymbol(*painter, iconRect, content.symbol, style,
              (option.state & QStyle::State_Enabled) ? QIcon::Normal : QIcon::Disabled);

  // Badge at the trailing edge.
  int textRight = inner.right();
  if (content.unread >= 1) {
    const QFont font = badgeFont(base);
    const QFontMetrics metrics(font);
    const QString text = badgeText(content.unread);
    const int height = metrics.height() + 2 * kBadgeVertical;
    const int width = std::max(height, metrics.horizontalAdvance(text) + 2 * kBadgeHorizontal);
    const QRect badge(inner.right() - width + 1, inner.top() + (inner.height() - height) / 2, width,
                      height);
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(Qt::NoPen);
    painter->setBrush(selected ? option.palette.color(group, QPalette::HighlightedText)
                               : option.palette.color(group, QPalette::Highlight));
    painter->drawRoundedRect(QRectF(badge), height / 2.0, height / 2.0);
    painter->setFont(font);
    painter->setPen(selected ? option.palette.color(group, QPalette::Highlight)
                             : QColor(Qt::white));
    painter->drawText(badge, Qt::AlignCenter, text);
    textRight = badge.left() - kSpacing;
  }

  // Text column: name, the disambiguation line, the status.
  const int textLeft = inner.left() + kIconColumn + kSpacing;
  const int textWidth = std::max(0, textRight - textLeft + 1);
  const QFontMetrics body(base);
  const QFont captionFont = fontFor(TextStyle::caption, base);
  const QFontMetrics caption(captionFont);
  int lines = body.height() + kLineSpacing + caption.height();
  if (content.disambiguation) lines += kLineSpacing + caption.height();
  int y = inner.top() + (inner.height() - lines) / 2;
  painter->setFont(base);
  painter->setPen(primary);
  painter->drawText(QRect(textLeft, y, textWidth, body.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    body.elidedText(content.name, Qt::ElideRight, textWidth));
  y += body.height() + kLineSpacing;
  painter->setFont(captionFont);
  painter->setPen(secondary);
  if (content.disambiguation) {
    painter->drawText(QRect(textLeft, y, textWidth, caption.height()),
                      Qt::AlignLeft | Qt::AlignVCenter,
                      caption.elidedText(*content.disambiguation, Qt::ElideRight, textWidth));
    y += caption.height() + kLineSpacing;
  }
  painter->drawText(QRect(textLeft, y, textWidth, caption.height()),
                    Qt::AlignLeft | Qt::AlignVCenter,
                    caption.elidedText(content.status, Qt::ElideRight, textWidth));
  painter->restore();

  if (option.state & QStyle::State_HasFocus) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(option);
    focus.rect = option.rect.adjusted(1, 1, -1, -1);
    focus.backgroundColor =
        option.palette.color(group, selected ? QPalette::Highlight : QPalette::Window);
    style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, option.widget);
  }
}

}  // namespace velmorine::workspace
