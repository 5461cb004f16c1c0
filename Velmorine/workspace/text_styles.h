#pragma once

// The text styles the views name, as sizes relative to the application's body font, and the
// tones that colour them: secondary text takes the palette's placeholder colour, tinted text its
// highlight.

#include <QFont>
#include <QPalette>
#include <span>

class QWidget;

namespace velmorine::workspace {

enum class TextStyle {
  largeTitle,
  title,
  title2,
  title3,
  headline,
  body,
  callout,
  subheadline,
  footnote,
  caption,
};

enum class TextTone { primary, secondary, tint };

struct TextStyleEntry {
  TextStyle style;
  qreal scale;  // of the body font's size
  QFont::Weight weight;
};

std::span<const TextStyleEntry> textStyleTable();

// The font of `style` made from the body font `base`.
QFont fontFor(TextStyle style, const QFont& base);

// The palette role that a tone takes its colour from.
QPalette::ColorRole toneRole(TextTone tone);

// Keeps `widget`'s `target` role equal to the `source` role of the palette it inherits, in every
// colour group, also after the application's palette changes.
void followPaletteRole(QWidget* widget, QPalette::ColorRole target, QPalette::ColorRole source);

// Colours the text of `widget` (window text, text and button text) in `tone`.
void applyTone(QWidget* widget, TextTone tone);

}  // namespace velmorine::workspace
