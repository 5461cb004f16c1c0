#pragma once

// The backgrounds of cards, bubbles and banners: a fill chosen by the surface's kind, and a
// border that the accessibility settings add. Colours come from the palette's roles: control
// background `Base`, primary `WindowText`, accent `Highlight`, separator `Mid`, and one fixed
// orange.

#include <QColor>
#include <QPalette>
#include <QRectF>
#include <QWidget>
#include <optional>

#include "Velmorine/workspace/view_environment.h"

class QPainter;

namespace velmorine::workspace {

enum class SurfaceKind { neutral, subtle, outgoing, warning };

// The warning orange; the same in light and dark.
inline constexpr QRgb kWarningOrange = qRgb(0xff, 0x95, 0x00);

QColor surfaceFill(SurfaceKind kind, const SurfaceSettings& settings, const QPalette& palette);
// The border's colour, or none when the surface has no border.
std::optional<QColor> surfaceBorder(bool bordered, const SurfaceSettings& settings,
                                    const QPalette& palette);

// Fills the rounded rectangle and, when there is one, strokes the 1-pixel border inside it.
void paintSurface(QPainter& painter, const QRectF& rect, SurfaceKind kind, qreal radius,
                  bool bordered, const SurfaceSettings& settings, const QPalette& palette);

// A container whose background is a surface; it repaints when the settings change.
class SurfaceFrame : public QWidget {
  Q_OBJECT

 public:
  SurfaceFrame(ViewEnvironment& environment, SurfaceKind kind, qreal radius, bool bordered,
               QWidget* parent = nullptr);

  SurfaceKind kind() const { return kind_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ViewEnvironment& environment_;
  SurfaceKind kind_;
  qreal radius_;
  bool bordered_;
};

}  // namespace velmorine::workspace
