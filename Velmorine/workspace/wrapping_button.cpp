#include "Velmorine/workspace/wrapping_button.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QTextLayout>

#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

constexpr int kSymbolGap = 8;

}  // namespace

WrappingButton::WrappingButton(ViewEnvironment& environment, TextStyle style, QWidget* parent)
    : QAbstractButton(parent), environment_(environment), style_(style) {
  setFont(fontFor(style_, QApplication::font(this)));
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  connect(&environment_, &ViewEnvironment::surfaceSettingsChanged, this,
          qOverload<>(&QWidget::update));
}

void WrappingButton::setTitle(const QString& title) {
  if (title == title_) return;
  title_ = title;
  setText(buttonTitle(title));
  updateGeometry();
  update();
}

void WrappingButton::setMaximumLines(int lines) {
  maximumLines_ = lines;
  updateGeometry();
}

void WrappingButton::setTrailingSymbol(std::string symbol, TextStyle style) {
  symbol_ = std::move(symbol);
  symbolStyle_ = style;
  updateGeometry();
}

void WrappingButton::setSurface(std::optional<Surface> surface) {
  surface_ = surface;
  update();
}

void WrappingButton::setPadding(int padding) {
  padding_ = padding;
  updateGeometry();
}

void WrappingButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ApplicationFontChange) {
    setFont(fontFor(style_, QApplication::font(this)));
    updateGeometry();
  }
  QAbstractButton::changeEvent(event);
}

int WrappingButton::symbolSide() const {
  if (symbol_.empty()) return 0;
  return QFontMetrics(fontFor(symbolStyle_, QApplication::font(this))).height();
}

int WrappingButton::textWidth(int width) const {
  const int side = symbolSide();
  return std::max(1, width - 2 * padding_ - (side > 0 ? side + kSymbolGap : 0));
}

QStringList WrappingButton::lines(int width) const {
  QStringList result;
  if (title_.isEmpty()) return result;
  const int available = textWidth(width);
  QTextLayout layout(title_, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  while (true) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(available);
    if (maximumLines_ > 0 && result.size() == maximumLines_ - 1) {
      // The last line allowed takes the rest of the title, cut.
      const QString rest = title_.mid(line.textStart());
      result.push_back(fontMetrics().elidedText(rest, Qt::ElideRight, available));
      break;
    }
    result.push_back(title_.mid(line.textStart(), line.textLength()).trimmed());
  }
  layout.endLayout();
  return result;
}

int WrappingButton::heightForWidth(int width) const {
  const int count = std::max<qsizetype>(1, lines(width).size());
  const int text = count * fontMetrics().lineSpacing();
  return std::max(text, symbolSide()) + 2 * padding_;
}

QSize WrappingButton::sizeHint() const {
  const int side = symbolSide();
  const int natural = fontMetrics().horizontalAdvance(title_) + 2 * padding_ +
                      (side > 0 ? side + kSymbolGap : 0) + 1;
  const int width = std::min(natural, 240);
  return {width, heightForWidth(width)};
}

QSize WrappingButton::minimumSizeHint() const {
  const int side = symbolSide();
  const int width = 2 * padding_ + (side > 0 ? side + kSymbolGap : 0) +
                    fontMetrics().horizontalAdvance(QStringLiteral("W\u2026"));
  return {width, heightForWidth(width)};
}

void WrappingButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (surface_) {
    paintSurface(painter, QRectF(rect()), surface_->kind, surface_->radius, false,
                 environment_.surfaceSettings(), palette());
  }
  if (isDown() || underMouse()) {
    QColor shade = palette().color(QPalette::WindowText);
    shade.setAlphaF(isDown() ? 0.12 : 0.05);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(shade);
    painter.drawRoundedRect(QRectF(rect()), 4, 4);
  }

  const QRect content = rect().adjusted(padding_, padding_, -padding_, -padding_);
  const auto shown = lines(width());
  painter.setFont(font());
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  int y = content.top();
  const bool rightToLeft = layoutDirection() == Qt::RightToLeft;
  const int side = symbolSide();
  const int available = textWidth(width());
  const int textLeft = rightToLeft ? content.right() - available + 1 : content.left();
  for (const auto& line : shown) {
    const QRect lineRect(textLeft, y, available, fontMetrics().lineSpacing());
    painter.drawText(lineRect, Qt::AlignVCenter | (rightToLeft ? Qt::AlignRight : Qt::AlignLeft),
                     line);
    y += fontMetrics().lineSpacing();
  }
  if (side > 0) {
    // After the text, on the first line's baseline row.
    const int x = rightToLeft ? content.left() : content.right() - side + 1;
    const int top = content.top() + (fontMetrics().lineSpacing() - side) / 2;
    QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    paintSymbol(painter, QRect(x, std::max(content.top(), top), side, side), symbol_, style(),
                mode);
  }

  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect().adjusted(1, 1, -1, -1);
    option.backgroundColor = palette().color(QPalette::Window);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
}

}  // namespace velmorine::workspace
