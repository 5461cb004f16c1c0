#include "Velmorine/workspace/message_row.h"

#include <QContextMenuEvent>
#include <QPushButton>
#include <QTextEdit>
#include <QTextOption>
#include <algorithm>
#include <cmath>

#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

constexpr int kStatusSpacing = 8;

void configure(QTextDocument& document) {
  document.setDocumentMargin(0);
  QTextOption option = document.defaultTextOption();
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  document.setDefaultTextOption(option);
}

}  // namespace

MessageTextMeasure::MessageTextMeasure() { configure(document_); }

MessageRowLayout MessageTextMeasure::layout(const QString& text, const QFont& font, int rowWidth,
                                            int statusHeight) {
  const int greatest =
      std::max(1, rowWidth - MessageRowLayout::kFreeSide - 2 * MessageRowLayout::kPadding);
  document_.setDefaultFont(font);
  document_.setPlainText(text);
  document_.setTextWidth(greatest);
  const int ideal = static_cast<int>(std::ceil(document_.idealWidth()));
  MessageRowLayout layout;
  layout.textWidth = std::clamp(ideal, 1, greatest);
  // At the widest line's width the lines break where they broke at the greatest width, so the
  // height stands.
  layout.textHeight = static_cast<int>(std::ceil(document_.size().height()));
  layout.statusHeight = statusHeight;
  return layout;
}

MessageRow::MessageRow(ViewEnvironment& environment, bool outgoing, QWidget* parent)
    : QWidget(parent),
      outgoing_(outgoing),
      bubble_(new SurfaceFrame(environment, outgoing ? SurfaceKind::outgoing : SurfaceKind::neutral,
                               12, false, this)),
      text_(new QTextEdit(bubble_)),
      time_(new TextLabel(TextStyle::caption, TextTone::secondary, this)),
      delivery_(new TextLabel(TextStyle::caption, TextTone::secondary, this)),
      retry_(new QPushButton(this)) {
  setObjectName(outgoing ? QStringLiteral("message.outgoing") : QStringLiteral("message.incoming"));
  text_->setObjectName(QStringLiteral("message.text"));
  text_->setReadOnly(true);
  text_->setAcceptRichText(false);
  text_->setFrameShape(QFrame::NoFrame);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // Selecting starts with a click; Tab passes the conversation's many texts by.
  text_->setFocusPolicy(Qt::ClickFocus);
  // The row's own menu stands in for the text view's.
  text_->setContextMenuPolicy(Qt::NoContextMenu);
  text_->setLineWrapMode(QTextEdit::WidgetWidth);
  configure(*text_->document());
  QPalette palette = text_->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  text_->setPalette(palette);
  text_->viewport()->setAutoFillBackground(false);
  time_->setObjectName(QStringLiteral("message.time"));
  delivery_->setObjectName(QStringLiteral("message.delivery"));
  retry_->setObjectName(QStringLiteral("message.retry"));
  retry_->setFocusPolicy(Qt::TabFocus);
  retry_->hide();
  connect(retry_, &QPushButton::clicked, this, [this] {
    if (onRetry) onRetry();
  });
}

int MessageRow::statusHeight(QWidget* context, bool withRetry) {
  // Made where rows are made, so that they take the same fonts and style.
  TextLabel label(TextStyle::caption, TextTone::secondary, context);
  label.hide();
  label.setText(QStringLiteral("0"));
  int height = label.sizeHint().height();
  if (withRetry) {
    QPushButton button(QStringLiteral("0"), context);
    button.hide();
    height = std::max(height, button.sizeHint().height());
  }
  return height;
}

void MessageRow::setContent(const Content& content) {
  layout_ = content.layout;
  if (text_->toPlainText() != content.text) {
    text_->setPlainText(content.text);
  }
  time_->setText(content.time);
  delivery_->setText(content.delivery);
  retry_->setVisible(!content.retry.isEmpty());
  if (!content.retry.isEmpty()) retry_->setText(buttonTitle(content.retry));
  place();
}

void MessageRow::place() {
  const int width = this->width();
  const int bubbleWidth = layout_.bubbleWidth();
  const int bubbleX = outgoing_ ? std::max(0, width - bubbleWidth) : 0;
  bubble_->setGeometry(bubbleX, 0, bubbleWidth, layout_.bubbleHeight());
  text_->setGeometry(MessageRowLayout::kPadding, MessageRowLayout::kPadding, layout_.textWidth,
                     layout_.textHeight);

  const int statusTop = layout_.bubbleHeight() + MessageRowLayout::kStatusGap;
  std::vector<QWidget*> line{time_, delivery_};
  if (retry_->isVisibleTo(this)) line.push_back(retry_);
  int lineWidth = 0;
  for (QWidget* part : line) lineWidth += part->sizeHint().width();
  lineWidth += kStatusSpacing * static_cast<int>(line.size() - 1);
  int x = outgoing_ ? std::max(0, width - lineWidth) : 0;
  for (QWidget* part : line) {
    const QSize hint = part->sizeHint();
    const int y = statusTop + (layout_.statusHeight - hint.height()) / 2;
    part->setGeometry(x, y, hint.width(), hint.height());
    x += hint.width() + kStatusSpacing;
  }
}

void MessageRow::resizeEvent(QResizeEvent*) { place(); }

void MessageRow::contextMenuEvent(QContextMenuEvent* event) {
  if (onContextMenu) onContextMenu(event->globalPos());
  event->accept();
}

}  // namespace velmorine::workspace
