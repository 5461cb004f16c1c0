#pragma once

// A symbol that only decorates: painted, sized to a text style, and hidden from assistive
// technology (its neighbour says what it means).

#include <QWidget>
#include <string>

#include "Velmorine/workspace/text_styles.h"

namespace velmorine::workspace {

class DecorativeSymbol : public QWidget {
  Q_OBJECT

 public:
  DecorativeSymbol(std::string symbol, TextStyle style, QWidget* parent = nullptr);

  void setSymbol(std::string symbol);
  const std::string& symbol() const { return symbol_; }
  // A size in pixels instead of the text style's.
  void setPixelSize(int pixels);
  int pixelSize() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  std::string symbol_;
  TextStyle style_;
  int pixels_ = 0;
};

// Makes decorative symbols invisible to assistive technology; idempotent.
void installDecorativeAccessibility();

}  // namespace velmorine::workspace
