#include "Velmorine/library/media_preview.h"

#include <gtest/gtest.h>

#include <QAudioDevice>
#include <QBuffer>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QPainter>
#include <QPdfWriter>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <cmath>

#include "tests/Velmorine/library/library_fixture.h"
#include "tests/support/temporary_folder.h"

// Qt Multimedia's PulseAudio client keeps what libpulse allocated for a connection that failed
// (no sound server here), and the PDF library keeps a little of a document it could not parse;
// both are those libraries' own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpulse.so\nleak:libQt6Pdf.so\n";
}

namespace velmorine::library {
namespace {

using namespace testing;

// A second of a 440 Hz tone, 16-bit mono PCM.
Bytes wav() {
  constexpr std::uint32_t rate = 8000;
  Bytes data;
  auto put32 = [&](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  auto put16 = [&](std::uint16_t value) {
    for (int i = 0; i < 2; ++i) data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  auto text = [&](const char* four) {
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(four[i]));
  };
  text("RIFF");
  put32(36 + rate * 2);
  text("WAVE");
  text("fmt ");
  put32(16);
  put16(1);
  put16(1);
  put32(rate);
  put32(rate * 2);
  put16(2);
  put16(16);
  text("data");
  put32(rate * 2);
  for (std::uint32_t i = 0; i < rate; ++i) {
    put16(static_cast<std::uint16_t>(
        static_cast<std::int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / rate))));
  }
  return data;
}

class MediaPreviewTest : public ::testing::Test {
 protected:
  MediaPreviewTest() {
    writeFile(folder / "one.wav", wav());
    writeFile(folder / "two.wav", wav());
  }
  QUrl url(const char* name) const {
    return QUrl::fromLocalFile(QString::fromStdString((folder / name).string()));
  }

  velmorine::testing::TemporaryFolder folder;
};

TEST_F(MediaPreviewTest, OnePlayerPerUrlPausedAndNamedByTheFile) {
  MediaPreview preview;
  preview.setUrl(url("one.wav"));
  auto* first = preview.player();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->playbackState(), QMediaPlayer::StoppedState);  // never autoplay
  EXPECT_EQ(preview.accessibleName(), QStringLiteral("one.wav"));
  preview.setUrl(url("one.wav"));
  EXPECT_EQ(preview.player(), first);
  EXPECT_EQ(preview.playersMade(), 1);
  preview.setUrl(url("two.wav"));
  EXPECT_EQ(preview.playersMade(), 2);
  EXPECT_NE(preview.player(), first);
  EXPECT_EQ(preview.accessibleName(), QStringLiteral("two.wav"));
  EXPECT_NE(first->playbackState(), QMediaPlayer::PlayingState);
  EXPECT_EQ(first->videoOutput(), nullptr);
}

TEST_F(MediaPreviewTest, PlaysWhereASinkExistsAndStopsOnSwitchAndRemoval) {
  if (QMediaDevices::audioOutputs().isEmpty()) {
    GTEST_SKIP() << "no audio output device for GStreamer here; playback not tried";
  }
  auto preview = std::make_unique<MediaPreview>();
  preview->setUrl(url("one.wav"));
  auto* first = preview->player();
  QSignalSpy loaded(first, &QMediaPlayer::mediaStatusChanged);
  preview->play();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return first->playbackState() == QMediaPlayer::PlayingState; }, 5000));
  preview->setUrl(url("two.wav"));
  EXPECT_NE(first->playbackState(), QMediaPlayer::PlayingState);
  auto* second = preview->player();
  EXPECT_NE(second->playbackState(), QMediaPlayer::PlayingState);
  preview->play();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return second->playbackState() == QMediaPlayer::PlayingState; }, 5000));
  QPointer<QMediaPlayer> gone(second);
  preview.reset();
  EXPECT_TRUE(gone.isNull());
}

TEST(QuickLookPreview, ShowsTextPlainAndPdfInItsViewAndClearsBoth) {
  QuickLookPreview preview;
  preview.show(QuickLookPreview::Kind::text, QByteArray("<i>plain</i>"), QStringLiteral("a.txt"));
  auto* text = preview.findChild<QPlainTextEdit*>();
  EXPECT_TRUE(text->isReadOnly());
  EXPECT_EQ(text->toPlainText(), QStringLiteral("<i>plain</i>"));
  EXPECT_EQ(preview.accessibleName(), QStringLiteral("a.txt"));

  QByteArray pdf;
  {
    QBuffer buffer(&pdf);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    QPainter painter(&writer);
    painter.drawText(100, 100, QStringLiteral("page"));
  }
  preview.show(QuickLookPreview::Kind::pdf, pdf, QStringLiteral("a.pdf"));
  EXPECT_EQ(preview.pagesShown(), 1);
  EXPECT_TRUE(text->toPlainText().isEmpty());
  preview.clear();
  EXPECT_EQ(preview.pagesShown(), 0);
  EXPECT_EQ(preview.kind(), QuickLookPreview::Kind::none);
  preview.show(QuickLookPreview::Kind::pdf, QByteArray("%PDF-1.4 broken"), QStringLiteral("b.pdf"));
  EXPECT_EQ(preview.pagesShown(), 0);
}

}  // namespace
}  // namespace velmorine::library
