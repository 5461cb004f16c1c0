#include "Velmorine/settings/return_key.h"

#include <QAbstractButton>
#include <QKeyEvent>

namespace velmorine::settings {

namespace {

class ReturnClicks final : public QObject {
 public:
  explicit ReturnClicks(QAbstractButton* button) : QObject(button), button_(button) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != button_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
        key->modifiers() & ~Qt::KeypadModifier) {
      return false;
    }
    if (button_->isEnabled()) button_->click();
    return true;
  }

 private:
  QAbstractButton* button_;
};

}  // namespace

void clickOnReturn(QAbstractButton* button) {
  button->installEventFilter(new ReturnClicks(button));
}

}  // namespace velmorine::settings
