#pragma once

// The composer's text field. ComposerTextView is the text view itself: Ctrl+Return sends, Tab
// and Shift+Tab move the focus, and neither interferes with text an input method is still
// composing. MessageEditor keeps the view's text and a bound text (the peer's draft) in step.

#include <QFrame>
#include <QPlainTextEdit>
#include <functional>
#include <string>

class QWidget;

namespace velmorine::workspace {

// Whether `widget` is a text field holding text that an input method is still composing.
bool isComposingText(const QWidget* widget);

class ComposerTextView : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit ComposerTextView(QWidget* parent = nullptr);

  std::function<void()> sendAction;

  // An input method holds preedit text at the cursor.
  bool hasMarkedText() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

class MessageEditor : public QFrame {
  Q_OBJECT

 public:
  struct Binding {
    std::function<std::string()> read;
    std::function<void(std::string)> write;
  };

  explicit MessageEditor(QWidget* parent = nullptr);

  // Takes the binding, the label and the send action, and shows the bound text unless it is
  // shown already or a composition is under way.
  void update(Binding binding, const QString& label, std::function<void()> onSend);
  // Shows the bound text again under the same rule.
  void refresh();

  ComposerTextView* textView() const { return text_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void textDidChange();

  ComposerTextView* text_;
  Binding binding_;
  // Set while the view's text is replaced from the binding: that change is not written back.
  bool replacing_ = false;
};

}  // namespace velmorine::workspace
