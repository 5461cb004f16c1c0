#pragma once

// A label of the workspace: always plain text (a peer's name never becomes markup), in one of
// the text styles and tones, wrapping or cut to one line with an ellipsis.

#include <QLabel>

#include "Velmorine/workspace/text_styles.h"

namespace velmorine::workspace {

class TextLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TextLabel(TextStyle style = TextStyle::body, TextTone tone = TextTone::primary,
                     QWidget* parent = nullptr);

  // Wraps onto as many lines as it needs (false: one line).
  void setWrapping(bool wrapping);
  // One line, cut with an ellipsis when it does not fit.
  void setElided(bool elided);
  bool elided() const { return elided_; }
  void setSelectable(bool selectable);
  // A font weight other than the style's.
  void setWeight(QFont::Weight weight);

  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void applyStyle();

  TextStyle style_;
  std::optional<QFont::Weight> weight_;
  bool elided_ = false;
};

}  // namespace velmorine::workspace
