#pragma once

// Audio and video of a received file, played in place: a video surface with play/pause and a
// position slider. Nothing starts by itself: a new player is made only for a new URL, the old one
// paused first, and removing the preview stops and detaches its player, so nothing plays on in
// the background.

#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <optional>

class QMediaPlayer;
class QAudioOutput;
class QSlider;
class QToolButton;
class QVideoWidget;
class QPlainTextEdit;
class QScrollArea;

namespace velmorine::library {

class MediaPreview : public QWidget {
  Q_OBJECT

 public:
  explicit MediaPreview(QWidget* parent = nullptr);
  ~MediaPreview() override;

  // Same URL: nothing. Another: the current player pauses and a new, paused one takes its place;
  // the accessible name becomes the file's name.
  void setUrl(const QUrl& url);
  const std::optional<QUrl>& url() const { return url_; }
  QMediaPlayer* player() const { return player_; }
  // How many players this preview has made.
  int playersMade() const { return playersMade_; }

  void play();
  void pause();

 private:
  void refreshControls();

  std::optional<QUrl> url_;
  QMediaPlayer* player_ = nullptr;
  QAudioOutput* audio_ = nullptr;
  int playersMade_ = 0;
  QVideoWidget* video_;
  QToolButton* playPause_;
  QSlider* position_;
};

// Text and PDF of a received file, shown from the bytes the browser read and verified: text in a
// read-only editor, a PDF as its pages rendered one under the other (the first 20, at the
// preview's width). It starts nothing by itself either.
class QuickLookPreview : public QWidget {
  Q_OBJECT

 public:
  enum class Kind { text, pdf, none };

  explicit QuickLookPreview(QWidget* parent = nullptr);
  ~QuickLookPreview() override;

  // Shows the document; a kind without a viewer shows nothing.
  void show(Kind kind, const QByteArray& bytes, const QString& name);
  // Drops the document first, then the views.
  void clear();
  Kind kind() const { return kind_; }
  // Pages of the PDF shown.
  int pagesShown() const;

  static constexpr int kGreatestPageCount = 20;

 private:
  Kind kind_ = Kind::none;
  QPlainTextEdit* text_;
  QScrollArea* pages_;
  QWidget* pageColumn_;
};

}  // namespace velmorine::library
