#include "Velmorine/workspace/decorative_symbol.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QEvent>
#include <QPainter>

#include "Velmorine/workspace/symbols.h"

namespace velmorine::workspace {

namespace {

// Present in the tree (Qt needs every widget there) but invisible and nameless, as assistive
// technology skips invisible objects.
class HiddenAccessible final : public QAccessibleWidget {
 public:
  explicit HiddenAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.invisible = true;
    state.focusable = false;
    return state;
  }
  QString text(QAccessible::Text) const override { return {}; }
};

QAccessibleInterface* decorativeFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("velmorine::workspace::DecorativeSymbol") && object != nullptr &&
      object->isWidgetType()) {
    return new HiddenAccessible(static_cast<QWidget*>(object));
  }
  return nullptr;
}

}  // namespace

void installDecorativeAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(decorativeFactory);
    return true;
  }();
  (void)installed;
}

DecorativeSymbol::DecorativeSymbol(std::string symbol, TextStyle style, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), style_(style) {
  installDecorativeAccessibility();
  setFocusPolicy(Qt::NoFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void DecorativeSymbol::setSymbol(std::string symbol) {
  if (symbol == symbol_) return;
  symbol_ = std::move(symbol);
  update();
}

void DecorativeSymbol::setPixelSize(int pixels) {
  pixels_ = pixels;
  updateGeometry();
  update();
}

int DecorativeSymbol::pixelSize() const {
  if (pixels_ > 0) return pixels_;
  return QFontMetrics(fontFor(style_, QApplication::font(this))).height();
}

QSize DecorativeSymbol::sizeHint() const { return {pixelSize(), pixelSize()}; }

void DecorativeSymbol::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ApplicationFontChange) updateGeometry();
  QWidget::changeEvent(event);
}

void DecorativeSymbol::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int side = std::min(width(), height());
  const QRect square((width() - side) / 2, (height() - side) / 2, side, side);
  paintSymbol(painter, square, symbol_, style(), isEnabled() ? QIcon::Normal : QIcon::Disabled);
}

}  // namespace velmorine::workspace
