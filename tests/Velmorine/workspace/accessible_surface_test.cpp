#include "Velmorine/workspace/accessible_surface.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <optional>

#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

// A palette whose roles are easy to tell apart.
QPalette distinctPalette() {
  QPalette palette;
  palette.setColor(QPalette::Base, QColor(250, 250, 250));
  palette.setColor(QPalette::WindowText, QColor(0, 0, 100));
  palette.setColor(QPalette::Highlight, QColor(0, 100, 200));
  palette.setColor(QPalette::Mid, QColor(120, 120, 120));
  return palette;
}

QColor over(const QColor& top, const QColor& bottom) {
  const qreal a = top.alphaF();
  return QColor::fromRgbF(top.redF() * a + bottom.redF() * (1 - a),
                          top.greenF() * a + bottom.greenF() * (1 - a),
                          top.blueF() * a + bottom.blueF() * (1 - a));
}

struct SurfaceCase {
  const char* name;
  SurfaceKind kind;
  bool bordered;
  SurfaceSettings settings;
  QColor fill;                   // as the palette gives it, with its opacity
  std::optional<QColor> border;  // none: no border at all
};

class SurfacePixels : public ::testing::TestWithParam<SurfaceCase> {};

TEST_P(SurfacePixels, FillAndBorderFollowKindAndSettings) {
  const auto& c = GetParam();
  const QPalette palette = distinctPalette();
  EXPECT_EQ(surfaceFill(c.kind, c.settings, palette), c.fill);
  EXPECT_EQ(surfaceBorder(c.bordered, c.settings, palette), c.border);

  // Painted on white with square corners: the centre shows the fill, the outermost pixels the
  // border (or the fill again when there is none).
  const QColor background(Qt::white);
  QImage image(40, 30, QImage::Format_ARGB32);
  image.fill(background);
  {
    QPainter painter(&image);
    paintSurface(painter, QRectF(0, 0, 40, 30), c.kind, 0, c.bordered, c.settings, palette);
  }
  const QColor centre = over(c.fill, background);
  const QColor edge = c.border ? over(*c.border, background) : centre;
  auto near = [](QColor a, QColor b) {
    return std::abs(a.red() - b.red()) <= 1 && std::abs(a.green() - b.green()) <= 1 &&
           std::abs(a.blue() - b.blue()) <= 1;
  };
  EXPECT_TRUE(near(image.pixelColor(20, 15), centre))
      << image.pixelColor(20, 15).name().toStdString();
  EXPECT_TRUE(near(image.pixelColor(0, 15), edge)) << image.pixelColor(0, 15).name().toStdString();
  EXPECT_TRUE(near(image.pixelColor(20, 29), edge));
}

QColor alpha(QColor colour, qreal opacity) {
  colour.setAlphaF(opacity);
  return colour;
}

const SurfaceSettings kDefault{};
const SurfaceSettings kReduce{.reduceTransparency = true};
const SurfaceSettings kContrast{.increasedContrast = true};
const SurfaceSettings kBoth{.reduceTransparency = true, .increasedContrast = true};
const QColor kBase(250, 250, 250);
const QColor kPrimary(0, 0, 100);
const QColor kAccent(0, 100, 200);
const QColor kSeparator(120, 120, 120);
const QColor kOrange(0xff, 0x95, 0x00);

INSTANTIATE_TEST_SUITE_P(
    Kinds, SurfacePixels,
    ::testing::Values(
        SurfaceCase{"neutral", SurfaceKind::neutral, false, kDefault, kBase, std::nullopt},
        SurfaceCase{"neutralBordered", SurfaceKind::neutral, true, kDefault, kBase, kSeparator},
        SurfaceCase{"subtle", SurfaceKind::subtle, false, kDefault, alpha(kPrimary, 0.06),
                    std::nullopt},
        SurfaceCase{"outgoing", SurfaceKind::outgoing, false, kDefault, alpha(kAccent, 0.14),
                    std::nullopt},
        SurfaceCase{"warning", SurfaceKind::warning, false, kDefault, alpha(kOrange, 0.12),
                    std::nullopt},
        // Reduced transparency: every kind opaque, with the separator border.
        SurfaceCase{"subtleReduced", SurfaceKind::subtle, false, kReduce, kBase, kSeparator},
        SurfaceCase{"warningReduced", SurfaceKind::warning, false, kReduce, kBase, kSeparator},
        // Increased contrast: the kind's fill, a border in the primary colour.
        SurfaceCase{"outgoingContrast", SurfaceKind::outgoing, false, kContrast,
                    alpha(kAccent, 0.14), kPrimary},
        SurfaceCase{"warningBorderedContrast", SurfaceKind::warning, true, kContrast,
                    alpha(kOrange, 0.12), kPrimary},
        SurfaceCase{"subtleBoth", SurfaceKind::subtle, false, kBoth, kBase, kPrimary}),
    [](const auto& param) { return std::string(param.param.name); });

class SurfaceFrameTest : public ViewFixture {};

TEST_F(SurfaceFrameTest, RepaintsWhenTheSettingsChange) {
  SurfaceFrame frame(*environment, SurfaceKind::subtle, 0, false);
  frame.resize(30, 20);
  const QColor before = frame.grab().toImage().pixelColor(0, 10);
  environment->setSurfaceSettings({.reduceTransparency = false, .increasedContrast = true});
  const QColor after = frame.grab().toImage().pixelColor(0, 10);
  EXPECT_NE(before, after);
  EXPECT_EQ(after, over(frame.palette().color(QPalette::WindowText),
                        frame.palette().color(QPalette::Window)));
}

}  // namespace
}  // namespace velmorine::workspace::testing
