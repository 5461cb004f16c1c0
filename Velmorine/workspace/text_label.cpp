#include "Velmorine/workspace/text_label.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QStyle>

namespace velmorine::workspace {

TextLabel::TextLabel(TextStyle style, TextTone tone, QWidget* parent)
    : QLabel(parent), style_(style) {
  setTextFormat(Qt::PlainText);
  setTextInteractionFlags(Qt::NoTextInteraction);
  applyTone(this, tone);
  applyStyle();
}

void TextLabel::applyStyle() {
  QFont font = fontFor(style_, QApplication::font(this));
  if (weight_) font.setWeight(*weight_);
  if (font != this->font()) setFont(font);
}

void TextLabel::changeEvent(QEvent* event) {
  // The application's font is the body font: the style follows it.
  if (event->type() == QEvent::ApplicationFontChange) applyStyle();
  QLabel::changeEvent(event);
}

void TextLabel::setWrapping(bool wrapping) {
  elided_ = false;
  setWordWrap(wrapping);
}

void TextLabel::setElided(bool elided) {
  elided_ = elided;
  if (elided) setWordWrap(false);
  updateGeometry();
  update();
}

void TextLabel::setSelectable(bool selectable) {
  setTextInteractionFlags(selectable ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                     : Qt::NoTextInteraction);
}

void TextLabel::setWeight(QFont::Weight weight) {
  weight_ = weight;
  applyStyle();
}

QSize TextLabel::minimumSizeHint() const {
  if (!elided_) return QLabel::minimumSizeHint();
  // Any width down to the ellipsis itself.
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(QStringLiteral("\u2026")), metrics.height()};
}

void TextLabel::paintEvent(QPaintEvent* event) {
  if (!elided_) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
  style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()),
                        palette(), isEnabled(), shown, foregroundRole());
}

}  // namespace velmorine::workspace
