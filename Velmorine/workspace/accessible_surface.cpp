#include "Velmorine/workspace/accessible_surface.h"

#include <QPainter>
#include <QPainterPath>

namespace velmorine::workspace {

namespace {

QColor withOpacity(QColor colour, qreal opacity) {
  colour.setAlphaF(colour.alphaF() * opacity);
  return colour;
}

}  // namespace

QColor surfaceFill(SurfaceKind kind, const SurfaceSettings& settings, const QPalette& palette) {
  const QColor control = palette.color(QPalette::Base);
  if (settings.reduceTransparency) return control;
  switch (kind) {
    case SurfaceKind::neutral:
      return control;
    case SurfaceKind::subtle:
      return withOpacity(palette.color(QPalette::WindowText), 0.06);
    case SurfaceKind::outgoing:
      return withOpacity(palette.color(QPalette::Highlight), 0.14);
    case SurfaceKind::warning:
      return withOpacity(QColor(kWarningOrange), 0.12);
  }
  return control;
}

std::optional<QColor> surfaceBorder(bool bordered, const SurfaceSettings& settings,
                                    const QPalette& palette) {
  if (!bordered && !settings.reduceTransparency && !settings.increasedContrast) {
    return std::nullopt;
  }
  return palette.color(settings.increasedContrast ? QPalette::WindowText : QPalette::Mid);
}

void paintSurface(QPainter& painter, const QRectF& rect, SurfaceKind kind, qreal radius,
                  bool bordered, const SurfaceSettings& settings, const QPalette& palette) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setPen(Qt::NoPen);
  painter.setBrush(surfaceFill(kind, settings, palette));
  if (radius > 0) {
    painter.drawRoundedRect(rect, radius, radius);
  } else {
    painter.drawRect(rect);
  }
  if (const auto border = surfaceBorder(bordered, settings, palette)) {
    // Stroked inside the bounds: the line's centre lies half a pixel in.
    const QRectF inner = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(*border, 1.0));
    if (radius > 0) {
      painter.drawRoundedRect(inner, radius, radius);
    } else {
      painter.drawRect(inner);
    }
  }
  painter.restore();
}

SurfaceFrame::SurfaceFrame(ViewEnvironment& environment, SurfaceKind kind, qreal radius,
                           bool bordered, QWidget* parent)
    : QWidget(parent),
      environment_(environment),
      kind_(kind),
      radius_(radius),
      bordered_(bordered) {
  connect(&environment_, &ViewEnvironment::surfaceSettingsChanged, this,
          qOverload<>(&QWidget::update));
}

void SurfaceFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  paintSurface(painter, QRectF(rect()), kind_, radius_, bordered_, environment_.surfaceSettings(),
               palette());
}

}  // namespace velmorine::workspace
