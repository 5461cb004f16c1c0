#pragma once

// A plain button whose title wraps (to at most `maximumLines`, the last one cut with an
// ellipsis), with an optional symbol after it and an optional surface behind it: the sidebar's
// device-name and add-files buttons. The title is shown as given; the button's text, which
// assistive technology reads, is the same with "&" doubled, so no title makes a mnemonic.

#include <QAbstractButton>
#include <optional>
#include <string>

#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/text_styles.h"

namespace velmorine::workspace {

class WrappingButton : public QAbstractButton {
  Q_OBJECT

 public:
  struct Surface {
    SurfaceKind kind;
    qreal radius;
  };

  WrappingButton(ViewEnvironment& environment, TextStyle style, QWidget* parent = nullptr);

  void setTitle(const QString& title);
  const QString& title() const { return title_; }
  // 0: as many lines as the title needs.
  void setMaximumLines(int lines);
  void setTrailingSymbol(std::string symbol, TextStyle style);
  void setSurface(std::optional<Surface> surface);
  void setPadding(int padding);

  // The title's lines at a width, as painted.
  QStringList lines(int width) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int symbolSide() const;
  int textWidth(int width) const;

  ViewEnvironment& environment_;
  TextStyle style_;
  QString title_;
  int maximumLines_ = 0;
  std::string symbol_;
  TextStyle symbolStyle_ = TextStyle::caption;
  std::optional<Surface> surface_;
  int padding_ = 0;
};

}  // namespace velmorine::workspace
