#include "Velmorine/workspace/composer_text_view.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QVBoxLayout>

namespace velmorine::workspace {

namespace {

bool preeditAt(const QTextCursor& cursor) {
  const QTextLayout* layout = cursor.block().layout();
  return layout != nullptr && !layout->preeditAreaText().isEmpty();
}

}  // namespace

bool isComposingText(const QWidget* widget) {
  if (const auto* plain = qobject_cast<const QPlainTextEdit*>(widget)) {
    return preeditAt(plain->textCursor());
  }
  if (const auto* rich = qobject_cast<const QTextEdit*>(widget)) {
    return preeditAt(rich->textCursor());
  }
  return false;
}

ComposerTextView::ComposerTextView(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName(QStringLiteral("composer.text"));
  setTabChangesFocus(true);
  setFrameShape(QFrame::NoFrame);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setBackgroundVisible(false);
  viewport()->setAutoFillBackground(false);
  // Insets of 8 beside and 10 above and below the text.
  document()->setDocumentMargin(0);
  setViewportMargins(8, 10, 8, 10);
}

bool ComposerTextView::hasMarkedText() const { return preeditAt(textCursor()); }

void ComposerTextView::keyPressEvent(QKeyEvent* event) {
  // The keypad's Enter carries Qt::Key_Enter and goes to the text like any other key.
  if (event->key() == Qt::Key_Return && (event->modifiers() & Qt::ControlModifier)) {
    event->accept();
    if (hasMarkedText()) return;
    if (sendAction) sendAction();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

MessageEditor::MessageEditor(QWidget* parent) : QFrame(parent), text_(new ComposerTextView) {
  setObjectName(QStringLiteral("composer.editor"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(1, 1, 1, 1);
  column->addWidget(text_);
  connect(text_, &QPlainTextEdit::textChanged, this, &MessageEditor::textDidChange);
}

void MessageEditor::update(Binding binding, const QString& label, std::function<void()> onSend) {
  binding_ = std::move(binding);
  text_->sendAction = std::move(onSend);
  text_->setAccessibleName(label);
  text_->setPlaceholderText(label);
  refresh();
}

void MessageEditor::refresh() {
  if (!binding_.read) return;
  const QString bound = QString::fromStdString(binding_.read());
  // Replacing the text resets the cursor and the undo history: only when it differs, and never
  // under a composition.
  if (text_->toPlainText() == bound || text_->hasMarkedText()) return;
  replacing_ = true;
  text_->setPlainText(bound);
  text_->moveCursor(QTextCursor::End);
  replacing_ = false;
}

void MessageEditor::textDidChange() {
  if (replacing_ || !binding_.write) return;
  binding_.write(text_->toPlainText().toStdString());
}

void MessageEditor::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath outline;
  outline.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  painter.fillPath(outline, palette().color(QPalette::Base));
  painter.setPen(QPen(palette().color(QPalette::Mid), 1));
  painter.drawPath(outline);
}

}  // namespace velmorine::workspace
