#pragma once

// A text with a symbol before it. Only the text is exposed to assistive technology.

#include <QWidget>
#include <string>

#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/text_label.h"

namespace velmorine::workspace {

class SymbolLabel : public QWidget {
  Q_OBJECT

 public:
  SymbolLabel(TextStyle style, TextTone tone = TextTone::primary, QWidget* parent = nullptr);

  void setContent(std::string symbol, const QString& text);
  TextLabel* label() const { return label_; }
  DecorativeSymbol* symbol() const { return symbol_; }

 private:
  DecorativeSymbol* symbol_;
  TextLabel* label_;
};

}  // namespace velmorine::workspace
