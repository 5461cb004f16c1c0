#include "Velmorine/library/media_preview.h"

#include <QAudioOutput>
#include <QBuffer>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QPdfDocument>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVideoWidget>
#include <algorithm>

namespace velmorine::library {

MediaPreview::MediaPreview(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("library.media"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  video_ = new QVideoWidget;
  column->addWidget(video_, 1);
  playPause_ = new QToolButton;
  playPause_->setObjectName(QStringLiteral("library.playPause"));
  position_ = new QSlider(Qt::Horizontal);
  position_->setObjectName(QStringLiteral("library.position"));
  auto* controls = new QHBoxLayout;
  controls->addWidget(playPause_);
  controls->addWidget(position_, 1);
  column->addLayout(controls);
  connect(playPause_, &QToolButton::clicked, this, [this] {
    if (player_ == nullptr) return;
    if (player_->playbackState() == QMediaPlayer::PlayingState) {
      pause();
    } else {
      play();
    }
  });
  connect(position_, &QSlider::sliderMoved, this, [this](int value) {
    if (player_ != nullptr) player_->setPosition(value);
  });
  refreshControls();
}

MediaPreview::~MediaPreview() {
  if (player_ != nullptr) {
    player_->stop();
    player_->setVideoOutput(nullptr);
    player_->setAudioOutput(nullptr);
  }
}

void MediaPreview::setUrl(const QUrl& url) {
  if (url_ && *url_ == url) return;
  if (player_ != nullptr) {
    player_->pause();
    player_->stop();
    player_->setVideoOutput(nullptr);
    player_->deleteLater();
    audio_->deleteLater();
  }
  url_ = url;
  player_ = new QMediaPlayer(this);
  audio_ = new QAudioOutput(this);
  player_->setAudioOutput(audio_);
  player_->setVideoOutput(video_);
  ++playersMade_;
  connect(player_, &QMediaPlayer::playbackStateChanged, this, &MediaPreview::refreshControls);
  connect(player_, &QMediaPlayer::durationChanged, this,
          [this](qint64 duration) { position_->setRange(0, static_cast<int>(duration)); });
  connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 position) {
    if (!position_->isSliderDown()) position_->setValue(static_cast<int>(position));
  });
  player_->setSource(url);
  setAccessibleName(QFileInfo(url.path()).fileName());
  refreshControls();
}

void MediaPreview::play() {
  if (player_ != nullptr) player_->play();
}

void MediaPreview::pause() {
  if (player_ != nullptr) player_->pause();
}

void MediaPreview::refreshControls() {
  const bool playing = player_ != nullptr && player_->playbackState() == QMediaPlayer::PlayingState;
  playPause_->setIcon(
      style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
  playPause_->setAccessibleName(playing ? QStringLiteral("pause") : QStringLiteral("play"));
  playPause_->setEnabled(player_ != nullptr);
  position_->setEnabled(player_ != nullptr);
}

QuickLookPreview::QuickLookPreview(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("library.quickLook"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  text_ = new QPlainTextEdit;
  text_->setObjectName(QStringLiteral("library.quickLookText"));
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  pages_ = new QScrollArea;
  pages_->setObjectName(QStringLiteral("library.quickLookPdf"));
  pages_->setWidgetResizable(true);
  pageColumn_ = new QWidget;
  new QVBoxLayout(pageColumn_);
  pages_->setWidget(pageColumn_);
  column->addWidget(text_);
  column->addWidget(pages_);
  text_->hide();
  pages_->hide();
}

QuickLookPreview::~QuickLookPreview() = default;

int QuickLookPreview::pagesShown() const {
  return static_cast<int>(pageColumn_->findChildren<QLabel*>().size());
}

void QuickLookPreview::clear() {
  for (auto* page : pageColumn_->findChildren<QLabel*>()) delete page;
  text_->clear();
  text_->hide();
  pages_->hide();
  kind_ = Kind::none;
}

void QuickLookPreview::show(Kind kind, const QByteArray& bytes, const QString& name) {
  clear();
  kind_ = kind;
  setAccessibleName(name);
  switch (kind) {
    case Kind::text:
      // Shown as plain text whatever it holds; invalid UTF-8 becomes replacement characters.
      text_->setPlainText(QString::fromUtf8(bytes));
      text_->setAccessibleName(name);
      text_->show();
      break;
    case Kind::pdf: {
      QByteArray data = bytes;
      QBuffer buffer(&data);
      buffer.open(QIODevice::ReadOnly);
      QPdfDocument document;
      document.load(&buffer);
      const int width = std::max(pages_->viewport()->width() - 8, 200);
      const int count = std::min(document.pageCount(), kGreatestPageCount);
      for (int index = 0; index < count; ++index) {
        const QSizeF points = document.pagePointSize(index);
        if (points.width() <= 0 || points.height() <= 0) continue;
        const QSize size(width, static_cast<int>(width * points.height() / points.width()));
        auto* page = new QLabel;
        page->setPixmap(QPixmap::fromImage(document.render(index, size)));
        page->setAccessibleName(name);
        pageColumn_->layout()->addWidget(page);
      }
      pages_->setAccessibleName(name);
      pages_->show();
      break;
    }
    case Kind::none:
      break;
  }
}

}  // namespace velmorine::library
