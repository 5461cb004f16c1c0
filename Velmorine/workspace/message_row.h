#pragma once

// One message of the conversation: its text on a bubble at the leading edge (received) or the
// trailing edge (sent), and under it the time, the delivery label and, for a message that may
// be sent again, the retry button. The text is a read-only text view filled with plain text, so
// that nothing a peer sends becomes markup, and wraps inside long words. Rows are laid out by
// hand from one measurement, the same one the conversation takes before a row exists.

#include <QTextDocument>
#include <QWidget>
#include <functional>

#include "Velmorine/workspace/view_environment.h"

class QPushButton;
class QTextEdit;

namespace velmorine::workspace {

class SurfaceFrame;
class TextLabel;

struct MessageRowLayout {
  int textWidth = 0;
  int textHeight = 0;
  int statusHeight = 0;

  static constexpr int kPadding = 12;
  static constexpr int kStatusGap = 6;
  // Space kept free beside every bubble.
  static constexpr int kFreeSide = 50;

  int bubbleWidth() const { return textWidth + 2 * kPadding; }
  int bubbleHeight() const { return textHeight + 2 * kPadding; }
  int height() const { return bubbleHeight() + kStatusGap + statusHeight; }
};

// Lays out message texts as the rows' text views do.
class MessageTextMeasure {
 public:
  MessageTextMeasure();
  // The text's size in a row `rowWidth` wide, in `font`.
  MessageRowLayout layout(const QString& text, const QFont& font, int rowWidth, int statusHeight);

 private:
  QTextDocument document_;
};

class MessageRow : public QWidget {
  Q_OBJECT

 public:
  struct Content {
    QString text;
    bool outgoing = false;
    QString time;
    QString delivery;
    // The retry button's title; empty: no button.
    QString retry;
    MessageRowLayout layout;
  };

  MessageRow(ViewEnvironment& environment, bool outgoing, QWidget* parent = nullptr);

  void setContent(const Content& content);

  QTextEdit* textView() const { return text_; }
  TextLabel* timeLabel() const { return time_; }
  TextLabel* deliveryLabel() const { return delivery_; }
  QPushButton* retryButton() const { return retry_; }

  std::function<void()> onRetry;
  std::function<void(const QPoint& globalPosition)> onContextMenu;

  // The status line's height with or without the retry button, in rows made under `context`.
  static int statusHeight(QWidget* context, bool withRetry);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void place();

  bool outgoing_;
  MessageRowLayout layout_;
  SurfaceFrame* bubble_;
  QTextEdit* text_;
  TextLabel* time_;
  TextLabel* delivery_;
  QPushButton* retry_;
};

}  // namespace velmorine::workspace
