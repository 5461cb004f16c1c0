#include "Velmorine/workspace/symbol_label.h"

#include <QHBoxLayout>

namespace velmorine::workspace {

SymbolLabel::SymbolLabel(TextStyle style, TextTone tone, QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  symbol_ = new DecorativeSymbol({}, style, this);
  label_ = new TextLabel(style, tone, this);
  label_->setWrapping(true);
  layout->addWidget(symbol_, 0, Qt::AlignTop);
  layout->addWidget(label_, 1);
}

void SymbolLabel::setContent(std::string symbol, const QString& text) {
  symbol_->setSymbol(std::move(symbol));
  if (label_->text() != text) label_->setText(text);
}

}  // namespace velmorine::workspace
