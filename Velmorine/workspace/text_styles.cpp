#include "Velmorine/workspace/text_styles.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <array>

namespace velmorine::workspace {

namespace {

// Sizes as the desktop scale of a 13-point body: title 22, title 2 17, caption 10, and so on.
constexpr std::array kStyles = {
    TextStyleEntry{TextStyle::largeTitle, 26.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::title, 22.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::title2, 17.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::title3, 15.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::headline, 1.0, QFont::Bold},
    TextStyleEntry{TextStyle::body, 1.0, QFont::Normal},
    TextStyleEntry{TextStyle::callout, 12.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::subheadline, 11.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::footnote, 10.0 / 13.0, QFont::Normal},
    TextStyleEntry{TextStyle::caption, 10.0 / 13.0, QFont::Normal},
};

// Copies one role onto another whenever the widget's palette changes.
class PaletteRoleFollower final : public QObject {
 public:
  PaletteRoleFollower(QWidget* widget, QPalette::ColorRole target, QPalette::ColorRole source)
      : QObject(widget), widget_(widget), target_(target), source_(source) {
    widget->installEventFilter(this);
    follow();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == widget_ && (event->type() == QEvent::PaletteChange ||
                               event->type() == QEvent::ApplicationPaletteChange)) {
      follow();
    }
    return false;
  }

 private:
  void follow() {
    QPalette palette = widget_->palette();
    bool changed = false;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      const QColor wanted = palette.color(group, source_);
      if (palette.color(group, target_) != wanted) {
        palette.setColor(group, target_, wanted);
        changed = true;
      }
    }
    // Setting the palette sends another change event, which then finds nothing to do.
    if (changed) widget_->setPalette(palette);
  }

  QWidget* widget_;
  QPalette::ColorRole target_;
  QPalette::ColorRole source_;
};

}  // namespace

std::span<const TextStyleEntry> textStyleTable() { return kStyles; }

QFont fontFor(TextStyle style, const QFont& base) {
  const auto entry = std::ranges::find(kStyles, style, &TextStyleEntry::style);
  QFont font = base;
  if (base.pointSizeF() > 0) {
    font.setPointSizeF(base.pointSizeF() * entry->scale);
  } else {
    font.setPixelSize(std::max(1, qRound(base.pixelSize() * entry->scale)));
  }
  font.setWeight(entry->weight);
  return font;
}

QPalette::ColorRole toneRole(TextTone tone) {
  switch (tone) {
    case TextTone::primary:
      return QPalette::WindowText;
    case TextTone::secondary:
      return QPalette::PlaceholderText;
    case TextTone::tint:
      return QPalette::Highlight;
  }
  return QPalette::WindowText;
}

void followPaletteRole(QWidget* widget, QPalette::ColorRole target, QPalette::ColorRole source) {
  new PaletteRoleFollower(widget, target, source);
}

void applyTone(QWidget* widget, TextTone tone) {
  if (tone == TextTone::primary) return;
  const auto source = toneRole(tone);
  for (const auto target : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    followPaletteRole(widget, target, source);
  }
}

}  // namespace velmorine::workspace
